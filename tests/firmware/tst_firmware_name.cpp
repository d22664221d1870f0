// The name rules: identity (model, version) from a file name, the marker
// test on a whole path, and the encrypted output name.
#include "firmware_name.h"

#include <QtTest>

class TestFirmwareName : public QObject
{
    Q_OBJECT
private slots:
    void identity_data();
    void identity();
    void encryptedPath_data();
    void encryptedPath();
};

void TestFirmwareName::identity_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("version"); // empty: none taken

    QTest::newRow("canonical") << "/fw/KT62_V01.02.03.04.bin" << true << "KT62"
                               << "01.02.03.04";
    QTest::newRow("backslash path") << "C:\\fw\\KT62_V01.02.03.04.bin" << true << "KT62"
                                    << "01.02.03.04";
    QTest::newRow("version too short") << "KT62_V2.06.bin" << true << "KT62"
                                       << "";
    QTest::newRow("piece 1 is B") << "A_B_V01.02.03.04.bin" << true << "A"
                                  << "";
    QTest::newRow("more pieces") << "KT62_V01.02.03.04_x.bin" << true << "KT62"
                                 << "01.02.03.04";
    QTest::newRow("first character skipped, not checked")
        << "KT62_X01.02.03.04_V.bin" << true << "KT62"
        << "01.02.03.04";
    QTest::newRow("empty model") << "_V01.02.03.04.bin" << true << ""
                                 << "01.02.03.04";
    QTest::newRow("lower-case marker") << "kt62_v01.02.03.04.bin" << false << ""
                                       << "";
    QTest::newRow("marker only in the directory") << "D:/fw_V/any.bin" << false << ""
                                                  << "";
}

void TestFirmwareName::identity()
{
    QFETCH(QString, path);
    QFETCH(bool, marker);
    QFETCH(QString, model);
    QFETCH(QString, version);
    const FirmwareIdentity id = identity_from_file_name(path);
    QCOMPARE(id.has_marker, marker);
    QCOMPARE(id.model, model);
    QCOMPARE(id.has_version, !version.isEmpty());
    QCOMPARE(id.version, version);
    // The upgrade dialog's test looks at the whole path.
    QCOMPARE(path_has_marker(path), path.contains("_V"));
}

void TestFirmwareName::encryptedPath_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("output");
    QTest::newRow("canonical") << "/out"
                               << "/src/KT62_01.02.03.04.bin"
                               << "/out/KT62_V01.02.03.04.bin";
    QTest::newRow("every underscore") << "/out/"
                                      << "a_b_c.bin"
                                      << "/out/a_Vb_Vc.bin";
    QTest::newRow("no underscore") << "C:/"
                                   << "C:/src/plain.bin"
                                   << "C:/plain.bin";
    QTest::newRow("directories untouched") << "/o_x"
                                           << "/s_y/a_b.bin"
                                           << "/o_x/a_Vb.bin";
}

void TestFirmwareName::encryptedPath()
{
    QFETCH(QString, dir);
    QFETCH(QString, plain);
    QFETCH(QString, output);
    QCOMPARE(encrypted_output_path(dir, plain), output);
}

QTEST_GUILESS_MAIN(TestFirmwareName)
#include "tst_firmware_name.moc"
