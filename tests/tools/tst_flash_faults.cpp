// The ways a headless upgrade goes wrong, and what kt62-flash makes of them:
// a device falling silent, a pulled cable, a missing port. None of them may
// ever pass for success.

#include "testpty.h"
#include "toolharness.h"

#include <QtTest>

namespace {
constexpr int IMAGE_SIZE = 12 * 1024;
constexpr int TIMEOUT_MS = 1500;
// A loaded machine may be slow to notice, never this slow.
constexpr int SLACK_MS = 6000;
constexpr int QUERY_DELAY_MS = 1000; // the engine's first query waits this long

void expectNoSuccess(const FlashRun &run, const QJsonObject &report)
{
    QVERIFY(!run.err.contains("Upgrade finished!"));
    QVERIFY(!run.err.contains("success"));
    QVERIFY(report.value("result").toString() != "success");
    QCOMPARE(report.value("exit_code").toInt(), run.exit_code);
}
} // namespace

class TestFlashFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void deviceGoesAway_data();
    void deviceGoesAway();
    void deviceNeverAnswers();
    void portCannotBeOpened();

private:
    QTemporaryDir m_dir;
    QString m_firmware;
};

void TestFlashFaults::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString plain = m_dir.filePath("KT62_01.00.00.09.bin");
    QVERIFY(!writePlainImage(plain, IMAGE_SIZE, 9).isEmpty());
    m_firmware = encryptWithFlash(plain, m_dir.path());
    QVERIFY(!m_firmware.isEmpty());
}

void TestFlashFaults::deviceGoesAway_data()
{
    QTest::addColumn<QStringList>("sim_flags");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("result");

    QTest::newRow("silent after 3 blocks") << QStringList{"--silent-after", "3"} << 4 << "timeout";
    QTest::newRow("unplugged after 3 blocks")
        << QStringList{"--exit-after", "3"} << 3 << "port error";
    QTest::newRow("unplugged after the last block")
        << QStringList{"--exit-after", "13"} << 3 << "port error";
}

void TestFlashFaults::deviceGoesAway()
{
    QFETCH(QStringList, sim_flags);
    QFETCH(int, exit_code);
    QFETCH(QString, result);
    SimProcess sim(QStringList{"--erase-ms", "20"} + sim_flags);
    QVERIFY(sim.ready());
    const QString report_path = sim.dir() + "/report.json";

    const FlashRun run =
        runFlash({"--port", sim.port(), "--timeout", "1.5", "--report", report_path, m_firmware});
    QCOMPARE(run.exit_code, exit_code);
    const QJsonObject report = readJson(report_path);
    QCOMPARE(report.value("result").toString(), result);
    expectNoSuccess(run, report);
    QVERIFY(report.value("phases").toObject().value("transfer").isDouble());
    if (exit_code == 4) {
        // Gave up once the silence lasted the time-out, not before (the
        // engine's own query timer may come 5 % early).
        QVERIFY(run.elapsed_ms >= QUERY_DELAY_MS * 95 / 100 + TIMEOUT_MS);
        QVERIFY(run.elapsed_ms < QUERY_DELAY_MS + TIMEOUT_MS + SLACK_MS);
    }
}

void TestFlashFaults::deviceNeverAnswers()
{
    // A port with nothing behind it: the queries go out and die away.
    Pty pty;
    QVERIFY(pty.isValid());
    QTemporaryDir dir;
    const QString report_path = dir.filePath("report.json");
    const FlashRun run = runFlash(
        {"--port", pty.slavePath(), "--timeout", "1.5", "--report", report_path, m_firmware});
    QCOMPARE(run.exit_code, 4);
    QVERIFY(run.elapsed_ms >= TIMEOUT_MS);
    const QJsonObject report = readJson(report_path);
    expectNoSuccess(run, report);
    QVERIFY(report.value("phases").toObject().value("erase").isNull());
    // The start sequence went out, then the queries; no erase command.
    const QByteArray wire = pty.readNow();
    QVERIFY(wire.startsWith(QByteArray::fromHex("24000799000023")));
    QVERIFY(!wire.contains(QByteArray::fromHex("24040020")));
}

void TestFlashFaults::portCannotBeOpened()
{
    QTemporaryDir dir;
    const FlashRun run = runFlash({"--port", dir.filePath("ttyNOWHERE"), m_firmware});
    QCOMPARE(run.exit_code, 3);
    QVERIFY(run.err.contains("cannot open the port"));
    const FlashRun check = runFlash({"--check-version", "--port", dir.filePath("ttyNOWHERE")});
    QCOMPARE(check.exit_code, 3);
    QCOMPARE(check.out, QString());
}

QTEST_GUILESS_MAIN(TestFlashFaults)
#include "tst_flash_faults.moc"
