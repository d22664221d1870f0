# The encrypted image format and the encryption dialog.
kt62_add_test(tst_dialogencrypt SOURCES tst_dialogencrypt.cpp LIBS kt62_firmware_dialogs)
target_include_directories(tst_dialogencrypt PRIVATE
                           ${PROJECT_BINARY_DIR}/firmware/kt62_firmware_dialogs_autogen/include)
