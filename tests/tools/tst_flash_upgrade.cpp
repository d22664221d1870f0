// kt62-flash against kt62-sim over ptys, as a bench runs them: whole
// upgrades on good and bad lines, devices that fail or go away, and several
// devices at once, where one device's trouble must not touch the others.

#include "toolharness.h"

#include <QRegularExpression>
#include <QtTest>

namespace {
// Not a multiple of the packet size: the last packet is padded.
constexpr int IMAGE_SIZE = 20 * 1024 + 100;
constexpr int TIMEOUT_MS = 1500;
constexpr int QUERY_DELAY_MS = 1000; // the engine's first query waits this long
constexpr int SLACK_MS = 6000;       // a loaded machine is slow, never this slow

int askedAgain(const QStringList &events)
{
    static const QRegularExpression pattern("transfer: .* (\\d+) asked again");
    for (const QString &line : events) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch()) {
            return match.captured(1).toInt();
        }
    }
    return -1;
}
} // namespace

class TestFlashUpgrade : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void upgrade_data();
    void upgrade();
    void station_data();
    void station();

private:
    QTemporaryDir m_dir;
    QByteArray m_plain;
    QString m_firmware;
};

void TestFlashUpgrade::initTestCase()
{
    m_plain = writePlainImage(m_dir.filePath("KT62_01.02.03.04.bin"), IMAGE_SIZE, 62);
    m_firmware = encryptWithFlash(m_dir.filePath("KT62_01.02.03.04.bin"), m_dir.path());
    QCOMPARE(QFileInfo(m_firmware).fileName(), QString("KT62_V01.02.03.04.bin"));
    // A plain image renamed as if encrypted: its header is no checksum.
    QVERIFY(QFile::copy(m_dir.filePath("KT62_01.02.03.04.bin"),
                        m_dir.filePath("KT62_V09.09.09.09.bin")));
}

void TestFlashUpgrade::upgrade_data()
{
    QTest::addColumn<QStringList>("sim_flags");
    QTest::addColumn<QStringList>("flash_flags");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("result");
    const QString renamed = m_dir.filePath("KT62_V09.09.09.09.bin");

    QTest::newRow("clean line") << QStringList() << QStringList{m_firmware} << 0 << "success";
    QTest::newRow("chunks and noise")
        << QStringList{"--chunk-split", "--noise", "0.5", "--seed", "9"} << QStringList{m_firmware}
        << 0 << "success";
    QTest::newRow("30% of good blocks asked again")
        << QStringList{"--nak-rate", "0.3", "--seed", "10"} << QStringList{m_firmware} << 0
        << "success";
    QTest::newRow("device reports failure")
        << QStringList{"--fail-result"} << QStringList{m_firmware} << 1 << "device failure";
    QTest::newRow("silent after 3 blocks")
        << QStringList{"--silent-after", "3"} << QStringList{m_firmware} << 4 << "timeout";
    QTest::newRow("unplugged after 3 blocks")
        << QStringList{"--exit-after", "3"} << QStringList{m_firmware} << 3 << "port error";
    QTest::newRow("mismatched header sent with --force")
        << QStringList() << QStringList{"--force", renamed} << 1 << "device failure";
}

void TestFlashUpgrade::upgrade()
{
    QFETCH(QStringList, sim_flags);
    QFETCH(QStringList, flash_flags);
    QFETCH(int, exit_code);
    QFETCH(QString, result);
    SimProcess sim(QStringList{"--once", "--erase-ms", "50", "--save", "received.bin"} + sim_flags);
    QVERIFY(sim.ready());
    const QString report_path = sim.dir() + "/report.json";

    const FlashRun run =
        runFlash(QStringList{"--port", sim.port(), "--timeout", "1.5", "--report", report_path} +
                 flash_flags);
    QCOMPARE(run.exit_code, exit_code);
    QCOMPARE(reportCode(report_path), exit_code);
    const QJsonObject report = reportPort(report_path);
    QCOMPARE(report.value("result").toString(), result);
    QCOMPARE(report.value("exit_code").toInt(), exit_code);
    QVERIFY(report.value("phases").toObject().value("transfer").isDouble());
    if (exit_code != 0) {
        QVERIFY(!run.err.contains("Upgrade finished!"));
    }
    if (exit_code == 4) {
        // Gave up once the silence lasted the time-out, not before (the
        // engine's query timer may come 5 % early).
        QVERIFY(run.elapsed_ms >= QUERY_DELAY_MS * 95 / 100 + TIMEOUT_MS);
        QVERIFY(run.elapsed_ms < QUERY_DELAY_MS + TIMEOUT_MS + SLACK_MS);
    }
    if (exit_code == 0) {
        QVERIFY(run.err.contains("Upgrade finished!"));
        QCOMPARE(sim.waitExit(), 0);
        QVERIFY(sim.saved() == m_plain);
        // Every block the device asked for again was sent again, only those.
        const int again = askedAgain(sim.events());
        QCOMPARE(report.value("repeats").toInt(), again);
        QVERIFY(again > 0 || !sim_flags.contains("--nak-rate"));
    }
}

void TestFlashUpgrade::station_data()
{
    QTest::addColumn<QList<QStringList>>("devices"); // simulator flags, or "absent"
    QTest::addColumn<QVector<int>>("codes");
    QTest::addColumn<int>("exit_code");

    QTest::newRow("four devices") << QList<QStringList>{{}, {}, {}, {}} << QVector<int>{0, 0, 0, 0}
                                  << 0;
    QTest::newRow("one unplugged, one failing, one port missing")
        << QList<QStringList>{{"--exit-after", "3"}, {}, {"--fail-result"}, {}, {"absent"}}
        << QVector<int>{3, 0, 1, 0, 3} << 3;
    QTest::newRow("one failing") << QList<QStringList>{{}, {"--fail-result"}, {}}
                                 << QVector<int>{0, 1, 0} << 1;
}

void TestFlashUpgrade::station()
{
    QFETCH(QList<QStringList>, devices);
    QFETCH(QVector<int>, codes);
    QFETCH(int, exit_code);
    std::vector<std::unique_ptr<SimProcess>> sims;
    QStringList arguments{"--timeout", "3", "--report", m_dir.filePath("station.json")};
    for (const QStringList &flags : devices) {
        sims.push_back(std::make_unique<SimProcess>(
            QStringList{"--once", "--erase-ms", "50", "--save", "received.bin"} + flags));
        if (flags == QStringList{"absent"}) {
            arguments << "--port" << m_dir.filePath("ttyABSENT");
        } else {
            QVERIFY(sims.back()->ready());
            arguments << "--port" << sims.back()->port();
        }
    }
    const FlashRun run = runFlash(arguments << m_firmware);
    QCOMPARE(run.exit_code, exit_code);
    QCOMPARE(reportCode(m_dir.filePath("station.json")), exit_code);
    for (int i = 0; i < codes.size(); ++i) {
        const QJsonObject report = reportPort(m_dir.filePath("station.json"), i);
        QCOMPARE(report.value("exit_code").toInt(), codes.at(i));
        const QString port = report.value("port").toString();
        // Off a terminal every line of a port starts with the port.
        if (codes.at(i) == 0) {
            QVERIFY(run.err.contains(port + ": Upgrade finished!\n"));
            QVERIFY(sims[i]->saved() == m_plain);
        } else {
            QVERIFY(run.err.contains("kt62-flash: " + port + ": "));
        }
    }
}

QTEST_GUILESS_MAIN(TestFlashUpgrade)
#include "tst_flash_upgrade.moc"
