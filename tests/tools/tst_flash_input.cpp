// What kt62-flash decides before it sends anything: bad usage and unfit
// firmware end with exit code 2 while the device hears nothing; --inspect
// shows what an image holds; version checks and --encrypt.

#include "firmware_image.h"
#include "toolharness.h"

#include <QtTest>

#include <memory>

namespace {
constexpr qint64 MAX_SENDABLE = 65535LL * 1024;
constexpr int IMAGE_SIZE = 3000;
} // namespace

class TestFlashInput : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void refused_data();
    void refused();
    void inspect_data();
    void inspect();
    void checkVersion_data();
    void checkVersion();
    void encrypt_data();
    void encrypt();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_sim;
    QString m_good; // KT62_V01.02.03.04.bin
};

void TestFlashInput::initTestCase()
{
    QVERIFY(!writePlainImage(path("KT62_01.02.03.04.bin"), IMAGE_SIZE, 2).isEmpty());
    m_good = encryptWithFlash(path("KT62_01.02.03.04.bin"), m_dir.path());
    QVERIFY(!m_good.isEmpty());
    QVERIFY(QFile::copy(path("KT62_01.02.03.04.bin"), path("KT62_V05.05.05.05.bin"))); // renamed
    QFile truncated(path("KT62_V02.02.02.02.bin"));
    QVERIFY(truncated.open(QIODevice::WriteOnly));
    truncated.write(readFile(m_good).chopped(100));
    truncated.close();
    QFile empty(path("KT62_V00.00.00.01.bin"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    // Sparse: one byte more than the 16-bit packet count can address.
    QFile huge(path("KT62_V09.09.09.09.bin"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(MAX_SENDABLE + 1));
    huge.close();
    QVERIFY(QDir(m_dir.path()).mkdir("KT62_V07.07.07.07.bin"));
    QVERIFY(!writePlainImage(path("firmware.bin"), 2048, 3).isEmpty());

    m_sim = std::make_unique<SimProcess>(QStringList());
    QVERIFY(m_sim->ready());
}

void TestFlashInput::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const QString good = path("KT62_V01.02.03.04.bin");

    QTest::newRow("missing file") << QStringList{path("KT62_V03.03.03.03.bin")} << "no such file";
    QTest::newRow("plain image name")
        << QStringList{path("KT62_01.02.03.04.bin")} << "must carry the model and version";
    QTest::newRow("empty file") << QStringList{path("KT62_V00.00.00.01.bin")} << "empty";
    QTest::newRow("oversize file") << QStringList{path("KT62_V09.09.09.09.bin")} << "too large";
    QTest::newRow("a directory") << QStringList{path("KT62_V07.07.07.07.bin")}
                                 << "not a regular file";
    const QString mismatch = "the checksum header does not match the body";
    QTest::newRow("plain image renamed") << QStringList{path("KT62_V05.05.05.05.bin")} << mismatch;
    QTest::newRow("truncated image") << QStringList{path("KT62_V02.02.02.02.bin")} << mismatch;
    QTest::newRow("renamed, for two ports")
        << QStringList{"--port", path("ttyOTHER"), path("KT62_V05.05.05.05.bin")} << mismatch;
    QTest::newRow("no firmware") << QStringList() << "Give one firmware file";
    QTest::newRow("two firmware files") << QStringList{good, good} << "Give one firmware file";
    QTest::newRow("one port twice") << QStringList{"--port", m_sim->port(), good} << "each --port";
    QTest::newRow("zero time-out") << QStringList{"--timeout", "0", good} << "--timeout";
    QTest::newRow("unknown option") << QStringList{"--baud", "9600", good} << "Unknown option";
    QTest::newRow("two modes") << QStringList{"--inspect", good, "--check-version"}
                               << "exclude each other";
}

void TestFlashInput::refused()
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
        QCOMPARE(reportCode(report_path), 2);
        for (int i = 0; i < arguments.count("--port") + 1; ++i) {
            QCOMPARE(reportPort(report_path, i).value("result").toString(), QString("bad input"));
        }
    }
    // The device heard nothing: no start sequence, not a stray byte.
    QCOMPARE(m_sim->events(), QStringList());
}

void TestFlashInput::inspect_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("facts"); // model to packets
    QTest::addColumn<QString>("header");

    QTest::newRow("encrypted image") << "KT62_V01.02.03.04.bin" << 0
                                     << "model: KT62\ntarget version: 01.02.03.04\n"
                                        "size: 3004 bytes\npackets: 3"
                                     << "header: ok (0x";
    QTest::newRow("plain image renamed") << "KT62_V05.05.05.05.bin" << 2
                                         << "model: KT62\ntarget version: 05.05.05.05\n"
                                            "size: 3000 bytes\npackets: 3"
                                         << "header: MISMATCH (header says 0x";
    QTest::newRow("truncated") << "KT62_V02.02.02.02.bin" << 2
                               << "model: KT62\ntarget version: 02.02.02.02\n"
                                  "size: 2904 bytes\npackets: 3"
                               << "header: MISMATCH (header says 0x";
    QTest::newRow("empty") << "KT62_V00.00.00.01.bin" << 2
                           << "model: KT62\ntarget version: 00.00.00.01\nsize: 0 bytes\npackets: 0"
                           << "header: MISMATCH (0 bytes, too short for the 4-byte header)";
    QTest::newRow("plain name") << "KT62_01.02.03.04.bin" << 2
                                << "model: unknown\ntarget version: unknown\n"
                                   "size: 3000 bytes\npackets: 3"
                                << "header: MISMATCH (";
}

void TestFlashInput::inspect()
{
    QFETCH(QString, file);
    QFETCH(int, exit_code);
    QFETCH(QString, facts);
    QFETCH(QString, header);
    const FlashRun run = runFlash({"--inspect", path(file)});
    QCOMPARE(run.exit_code, exit_code);
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.first(), "file: " + path(file));
    QCOMPARE(lines.mid(1, 4).join('\n'), facts);
    QVERIFY2(lines.last().startsWith(header), qPrintable(lines.last()));
    QCOMPARE(run.err.isEmpty(), exit_code == 0);
}

void TestFlashInput::checkVersion_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("with_firmware");
    QTest::addColumn<QString>("expected");

    QTest::newRow("device only") << "KT62_V01.00.00.00" << false
                                 << "Current version: 01.00.00.00\n";
    QTest::newRow("device and file") << "KT62_V02.10.00.07" << true
                                     << "Current version: 02.10.00.07\n"
                                        "Target version: 01.02.03.04\n";
}

void TestFlashInput::checkVersion()
{
    QFETCH(QString, info);
    QFETCH(bool, with_firmware);
    QFETCH(QString, expected);
    SimProcess sim({"--once", "--info", info});
    QVERIFY(sim.ready());
    QStringList arguments{"--check-version", "--port", sim.port()};
    const FlashRun run = runFlash(with_firmware ? arguments << m_good : arguments);
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out, expected);
    QCOMPARE(sim.waitExit(), 0);
    // The query names the file's version; the check erases nothing.
    const QStringList events = sim.events();
    QVERIFY(events.contains(with_firmware ? "query \"01.02.03.04\"" : "query \"\""));
    QVERIFY(events.contains("cancel"));
    QVERIFY(events.filter("erase").isEmpty());
}

void TestFlashInput::encrypt_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("output_dir");
    QTest::addColumn<QString>("message"); // empty: encrypted

    QTest::newRow("plain image") << "KT62_01.02.03.04.bin"
                                 << "/" << QString();
    QTest::newRow("name without \"_\"") << "firmware.bin"
                                        << ""
                                        << "needs a \"_\"";
    QTest::newRow("encrypted already") << "KT62_V01.02.03.04.bin"
                                       << ""
                                       << "already holds \"_V\"";
    QTest::newRow("missing output directory") << "KT62_01.02.03.04.bin"
                                              << "nowhere"
                                              << "no such directory";
}

void TestFlashInput::encrypt()
{
    QFETCH(QString, plain);
    QFETCH(QString, output_dir);
    QFETCH(QString, message);
    QTemporaryDir out;
    const FlashRun run =
        runFlash({"--encrypt", path(plain), "--output-dir", out.path() + output_dir});
    if (!message.isEmpty()) {
        QCOMPARE(run.exit_code, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList());
        return;
    }
    // The output directory's trailing "/" is not doubled.
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out, out.path() + "/KT62_V01.02.03.04.bin\n");
    const QByteArray image = readFile(out.filePath("KT62_V01.02.03.04.bin"));
    QCOMPARE(image.size(), IMAGE_SIZE + ENCRYPT_HEADER_SIZE);
    QVERIFY(checksum_header_matches(image));
    const QByteArray source = readFile(path(plain));
    QCOMPARE(decrypt_body(image.mid(ENCRYPT_HEADER_SIZE)), source);
    QVERIFY(image.mid(ENCRYPT_HEADER_SIZE, 4) != source.left(4)); // the key word is applied
}

QTEST_GUILESS_MAIN(TestFlashInput)
#include "tst_flash_input.moc"
