#include "firmware/firmware_name.h"

#include <QtTest>

class TestFirmwareName : public QObject
{
    Q_OBJECT
private slots:
    void rules_data()
    {
        QTest::addColumn<QString>("got");
        QTest::addColumn<QString>("expected");
        const auto id = [](const char *path) {
            const FirmwareIdentity id = identity_from_file_name(path);
            return !id.has_marker ? "none" : id.model + " " + (id.has_version ? id.version : "-");
        };
        QTest::newRow("canonical") << id("/fw/KT62_V01.02.03.04.bin") << "KT62 01.02.03.04";
        QTest::newRow("short version") << id("KT62_V2.06.bin") << "KT62 -";
        QTest::newRow("piece 1 is B") << id("A_B_V01.02.03.04.bin") << "A -";
        QTest::newRow("late marker") << id("KT62_X01.02.03.04_V.bin") << "KT62 01.02.03.04";
        QTest::newRow("lower-case marker") << id("KT62_v01.02.03.04.bin") << "none";
        QTest::newRow("_V in the directory") << id("/fw_V/any.bin") << "none";
#ifndef Q_OS_WIN
        // A backslash is part of a file name here, not a separator.
        QTest::newRow("backslash in a name")
            << id("/fw/a\\b_V01.02.03.04.bin") << "a\\b 01.02.03.04";
#endif
    }
    void rules()
    {
        QFETCH(QString, got);
        QTEST(got, "expected");
    }
};

QTEST_GUILESS_MAIN(TestFirmwareName)
#include "tst_firmware_name.moc"
