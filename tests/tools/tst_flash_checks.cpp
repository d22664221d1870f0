// kt62-flash's checks in-process: the image judged is the packet table that will be sent, not
// the file read again; device text is made harmless for a terminal; paths are compared by what
// they name.
#include "firmware/firmware_image.h"
#include "tests/tools/flash_run.h"
#include "tools/flash/firmware_input.h"
#include "tools/flash/flash_job.h"
#include "tools/flash/image_table.h"
#include "tools/flash/operator_slips.h"
#include "tools/flash/terminal_text.h"

#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

class TestFlashChecks : public QObject
{
    Q_OBJECT
private slots:
    void tableIsJudged_data()
    {
        QTest::addColumn<int>("filler"); // plain bytes before the last three
        // Images of 7 to 3007 bytes: a last packet short, full, or of a few bytes.
        for (const int filler : {0, 1, 1020, 1021, 1024, 3000}) {
            QTest::addRow("image of %d bytes", filler + 7) << filler;
        }
    }

    void tableIsJudged() // a file swapped after the load cannot change the verdict
    {
        QFETCH(int, filler);
        QByteArray good = encrypt_image(QByteArray(filler, '\x5a').append("\x01\xfe\x80", 3));
        QByteArray bad = good;
        bad[good.size() - 1] = char(good.at(good.size() - 1) + 1);
        for (const bool loadGood : {true, false}) {
            const QString path = m_dir.filePath("KT62_V01.02.03.04.bin");
            QVERIFY(write_file(path, loadGood ? good : bad));
            FlashJob job({JobMode::Upgrade, "port", path});
            QVERIFY(job.prepare());
            QVERIFY(write_file(path, loadGood ? bad : good));
            const FirmwareInspection table = inspect_table(job.engine(), path);
            QCOMPARE(table.header_ok, loadGood);
            QCOMPARE(inspect_firmware(path).header_ok, !loadGood);
            QCOMPARE(table.size, qint64(good.size()));
            QCOMPARE(table.body_sum,
                     byte_sum((loadGood ? good : bad).constData() + 4, good.size() - 4));
        }
    }

    void escapesControls_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("escape sequence") << "V\x1b[2J1"
                                         << "V\\x1b[2J1";
        QTest::newRow("line end, tab, DEL") << "a\nb\tc\x7f"
                                            << "a\\x0ab\\x09c\\x7f";
        QTest::newRow("C1 control") << QString(QChar(0x9b)) + "2J"
                                    << "\\x9b2J";
        QTest::newRow("printable kept") << "01.02 版本 \\x1b"
                                        << "01.02 版本 \\x1b";
    }

    void escapesControls()
    {
        QFETCH(QString, text);
        QTEST(escape_controls(text), "shown");
    }

    void sameNode() // a second node of one device, made with its device number
    {
        const QString twin = m_dir.filePath("null-twin");
        QCOMPARE(mknod(qPrintable(twin), S_IFCHR | 0600, makedev(1, 3)), 0);
        QVERIFY(same_node("/dev/null", twin));
        QVERIFY(!same_node("/dev/zero", twin));
        QVERIFY(!same_device_refusal({"/dev/null", twin}).isEmpty());
        // A relative path with a "/" is meant from here; a bare name is the system's.
        QCOMPARE(port_to_open("out/../tty"), QDir::currentPath() + "/out/../tty");
        QCOMPARE(port_to_open("ttyUSB0"), QString("ttyUSB0"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestFlashChecks)
#include "tst_flash_checks.moc"
