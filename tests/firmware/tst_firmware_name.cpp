// The name rules, each tested here once: what a firmware file's name and a device's answer say,
// what the device is asked, and what the encryption names its output. The dialogs and the
// engine only check that they follow these rules.
#include "firmware/firmware_name.h"

#include <QtTest>

class TestFirmwareName : public QObject
{
    Q_OBJECT
private slots:
    void fileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("chosen");   // the upgrade dialog takes it: "_V" anywhere
        QTest::addColumn<bool>("marker");   // "_V" in the file name itself
        QTest::addColumn<QString>("model"); // empty without the marker
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("query"); // what the device is asked about
        const auto row = [](const char *path, bool chosen, bool marker, const char *model,
                            const char *version, const char *query) {
            QTest::newRow(path) << path << chosen << marker << model << version << query;
        };
        row("/fw/KT62_V01.02.03.04.bin", true, true, "KT62", "01.02.03.04", "01.02.03.04");
        row("KT62_V2.06.bin", true, true, "KT62", "", "");
        row("A_B_V01.02.03.04.bin", true, true, "A", "", "01.02.03.04");
        // The character after the first "_" is skipped whatever it is.
        row("KT62_X01.02.03.04_V.bin", true, true, "KT62", "01.02.03.04", ".02.03.04_V");
        row("KT62_v01.02.03.04.bin", false, false, "", "", "01.02.03.04");
        row("/fw_V/KT62_01.02.03.04.bin", true, false, "", "", "01.02.03.04");
        // Only a lower-case ".bin" is taken off, every one of them; 11 characters are too few.
        row("KT62_V01.02.03.BIN", true, true, "KT62", "01.02.03.BI", "1.02.03.BIN");
        row("ab.bin.bin", false, false, "", "", "");
        row("abcdefghijklmno", false, false, "", "", "efghijklmno");
        row("abcdefghijk.bin", false, false, "", "", "");
#ifndef Q_OS_WIN
        // A backslash is part of a file name here, not a separator.
        row("/fw/a\\b_V01.02.03.04.bin", true, true, "a\\b", "01.02.03.04", "01.02.03.04");
#endif
    }
    void fileName()
    {
        QFETCH(QString, path);
        const FirmwareIdentity id = identity_from_file_name(path);
        QTEST(path_has_marker(path), "chosen");
        QTEST(id.has_marker, "marker");
        QTEST(id.model, "model");
        QTEST(id.has_version ? id.version : QString(), "version");
        QTEST(query_text_from_path(path), "query");
    }
    // The device answers with the same fields as a file name.
    void deviceAnswer_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("version");
        QTest::newRow("canonical") << "KT62_V01.02.03.04" << true << "01.02.03.04";
        QTest::newRow("one character short") << "KT62_V01.02.03.0" << false << "";
        QTest::newRow("any marker") << "KT62_X01.02.03.04" << true << "01.02.03.04";
        QTest::newRow("more fields") << "\u00b0_V01.02.03.04_\ufffd" << true << "01.02.03.04";
        QTest::newRow("no second field") << "KT62" << false << "";
    }
    void deviceAnswer()
    {
        QFETCH(QString, answer);
        QFETCH(bool, found);
        bool said = !found; // the wrong answer until the rule gives its own
        QTEST(version_from_identity_text(answer, &said), "version");
        QCOMPARE(said, found);
    }
    void encryptedName_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("output");
        const auto row = [](const char *tag, const char *folder, const char *plain,
                            const char *output) {
            QTest::newRow(tag) << folder << plain << output;
        };
        row("one _", "/out", "/src/KT62_01.bin", "/out/KT62_V01.bin");
        row("folder ends with /", "/out/", "KT62_01.bin", "/out/KT62_V01.bin");
        row("every _ marked", "out", "/my_src/a_b_c.bin", "out/a_Vb_Vc.bin");
    }
    void encryptedName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, plain);
        QTEST(encrypted_output_path(folder, plain), "output");
    }
};

QTEST_GUILESS_MAIN(TestFirmwareName)
#include "tst_firmware_name.moc"
