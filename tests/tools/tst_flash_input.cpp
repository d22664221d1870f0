// Refusals of kt62-flash: bad usage and unfit firmware end with exit code 2
// before a single byte reaches the device; --encrypt applies the encryption
// dialog's rules.

#include "firmware_image.h"
#include "toolharness.h"

#include <QtTest>

#include <memory>

namespace {
constexpr qint64 MAX_SENDABLE = 65535LL * 1024;
}

class TestFlashInput : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refusedBeforeSending_data();
    void refusedBeforeSending();
    void encrypts();
    void encryptRefuses_data();
    void encryptRefuses();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_sim;
};

void TestFlashInput::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(!writePlainImage(path("KT62_V01.02.03.04.bin"), 3000, 1).isEmpty());
    QVERIFY(!writePlainImage(path("KT62_01.02.03.04.bin"), 3000, 2).isEmpty());
    QFile empty(path("KT62_V00.00.00.01.bin"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    // Sparse: one byte more than the 16-bit packet count can address.
    QFile huge(path("KT62_V09.09.09.09.bin"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(MAX_SENDABLE + 1));
    huge.close();
    QVERIFY(QDir(m_dir.path()).mkdir("KT62_V07.07.07.07.bin"));

    m_sim = std::make_unique<SimProcess>(QStringList());
    QVERIFY(m_sim->ready());
}

void TestFlashInput::refusedBeforeSending_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing file") << QStringList{path("KT62_V05.05.05.05.bin")} << "no such file";
    QTest::newRow("plain image name")
        << QStringList{path("KT62_01.02.03.04.bin")} << "must carry the model and version";
    QTest::newRow("empty file") << QStringList{path("KT62_V00.00.00.01.bin")} << "empty";
    QTest::newRow("oversize file") << QStringList{path("KT62_V09.09.09.09.bin")} << "too large";
    QTest::newRow("a directory") << QStringList{path("KT62_V07.07.07.07.bin")}
                                 << "not a regular file";
    QTest::newRow("no firmware") << QStringList() << "Give one firmware file";
    QTest::newRow("two firmware files")
        << QStringList{path("KT62_V01.02.03.04.bin"), path("KT62_V01.02.03.04.bin")}
        << "Give one firmware file";
    QTest::newRow("zero time-out")
        << QStringList{"--timeout", "0", path("KT62_V01.02.03.04.bin")} << "--timeout";
    QTest::newRow("time-out not a number")
        << QStringList{"--timeout", "soon", path("KT62_V01.02.03.04.bin")} << "--timeout";
    QTest::newRow("unknown option")
        << QStringList{"--baud", "9600", path("KT62_V01.02.03.04.bin")} << "Unknown option";
    QTest::newRow("two modes") << QStringList{"--list-ports", "--check-version"}
                               << "exclude each other";
}

void TestFlashInput::refusedBeforeSending()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const QString report_path = path("report.json");
    QFile::remove(report_path);

    const FlashRun run =
        runFlash(QStringList{"--port", m_sim->port(), "--report", report_path} + arguments);
    QCOMPARE(run.exit_code, 2);
    QVERIFY2(run.err.startsWith("kt62-flash: ") && run.err.contains(message), qPrintable(run.err));
    if (QFile::exists(report_path)) {
        QCOMPARE(readJson(report_path).value("result").toString(), QString("bad input"));
    }
    // The device heard nothing: no start sequence, not a stray byte.
    QCOMPARE(m_sim->events(), QStringList());
}

void TestFlashInput::encrypts()
{
    QTemporaryDir out;
    QFile source(path("KT62_01.02.03.04.bin"));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray plain = source.readAll();

    // The output directory's trailing "/" is not doubled.
    const FlashRun run =
        runFlash({"--encrypt", source.fileName(), "--output-dir", out.path() + "/"});
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out, out.path() + "/KT62_V01.02.03.04.bin\n");
    QFile encrypted(out.filePath("KT62_V01.02.03.04.bin"));
    QVERIFY(encrypted.open(QIODevice::ReadOnly));
    const QByteArray image = encrypted.readAll();
    QCOMPARE(image.size(), plain.size() + ENCRYPT_HEADER_SIZE);
    QVERIFY(checksum_header_matches(image));
    QCOMPARE(decrypt_body(image.mid(ENCRYPT_HEADER_SIZE)), plain);
    QVERIFY(image.mid(ENCRYPT_HEADER_SIZE, 4) != plain.left(4)); // the key word is applied
}

void TestFlashInput::encryptRefuses_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("output_dir");
    QTest::addColumn<QString>("message");

    QTest::newRow("name without \"_\"") << "firmware.bin"
                                        << ""
                                        << "needs a \"_\"";
    QTest::newRow("encrypted already") << "KT62_V01.02.03.04.bin"
                                       << ""
                                       << "already holds \"_V\"";
    QTest::newRow("missing plain image") << "KT62_03.03.03.03.bin"
                                         << ""
                                         << "no such file";
    QTest::newRow("missing output directory") << "KT62_01.02.03.04.bin"
                                              << "nowhere"
                                              << "no such directory";
}

void TestFlashInput::encryptRefuses()
{
    QFETCH(QString, plain);
    QFETCH(QString, output_dir);
    QFETCH(QString, message);
    QTemporaryDir out;
    if (plain == "firmware.bin") {
        QVERIFY(!writePlainImage(path(plain), 2048, 3).isEmpty());
    }
    const QString dir = output_dir.isEmpty() ? out.path() : out.filePath(output_dir);
    const FlashRun run = runFlash({"--encrypt", path(plain), "--output-dir", dir});
    QCOMPARE(run.exit_code, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TestFlashInput)
#include "tst_flash_input.moc"
