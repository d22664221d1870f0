// The identity that a firmware name carries, and the marker test on a whole
// path. (The encrypted output names are checked with the encryption.)
#include "firmware_name.h"

#include <QtTest>

class TestFirmwareName : public QObject
{
    Q_OBJECT
private slots:
    void identity_data();
    void identity();
};

void TestFirmwareName::identity_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("version"); // empty: none taken
    auto row = [](const char *tag, QString path, bool marker, QString model, QString version) {
        QTest::newRow(tag) << path << marker << model << version;
    };
    row("canonical", "/fw/KT62_V01.02.03.04.bin", true, "KT62", "01.02.03.04");
    row("version too short", "KT62_V2.06.bin", true, "KT62", "");
    row("piece 1 is B", "A_B_V01.02.03.04.bin", true, "A", "");
    row("more pieces", "KT62_V01.02.03.04_x.bin", true, "KT62", "01.02.03.04");
    row("first character skipped unseen", "KT62_X01.02.03.04_V.bin", true, "KT62", "01.02.03.04");
    row("empty model", "_V01.02.03.04.bin", true, "", "01.02.03.04");
    row("lower-case marker", "kt62_v01.02.03.04.bin", false, "", "");
    row("marker only in the directory", "D:/fw_V/any.bin", false, "", "");
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

QTEST_GUILESS_MAIN(TestFirmwareName)
#include "tst_firmware_name.moc"
