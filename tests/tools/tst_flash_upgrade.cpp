// kt62-flash against kt62-sim over a pty, the way a bench runs them: whole
// upgrades on good and bad lines, a failing device, version checks.

#include "toolharness.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

namespace {
// Not a multiple of the packet size: the last packet is padded.
constexpr int IMAGE_SIZE = 20 * 1024 + 100;
constexpr int IMAGE_PACKETS = 21; // (IMAGE_SIZE + 4 header bytes) / 1024, rounded up

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
    void checkVersion_data();
    void checkVersion();

private:
    QTemporaryDir m_dir;
    QByteArray m_plain;
    QString m_firmware;
};

void TestFlashUpgrade::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_plain = writePlainImage(m_dir.filePath("KT62_01.02.03.04.bin"), IMAGE_SIZE, 62);
    QVERIFY(!m_plain.isEmpty());
    m_firmware = encryptWithFlash(m_dir.filePath("KT62_01.02.03.04.bin"), m_dir.path());
    QCOMPARE(QFileInfo(m_firmware).fileName(), QString("KT62_V01.02.03.04.bin"));
}

void TestFlashUpgrade::upgrade_data()
{
    QTest::addColumn<QStringList>("sim_flags");
    QTest::addColumn<int>("exit_code");

    QTest::newRow("clean line") << QStringList() << 0;
    QTest::newRow("replies in random chunks") << QStringList{"--chunk-split", "--seed", "7"} << 0;
    QTest::newRow("noise before every frame") << QStringList{"--noise", "1", "--seed", "8"} << 0;
    QTest::newRow("chunks and noise")
        << QStringList{"--chunk-split", "--noise", "0.5", "--seed", "9"} << 0;
    QTest::newRow("30% of good blocks asked again")
        << QStringList{"--nak-rate", "0.3", "--seed", "10"} << 0;
    QTest::newRow("device reports failure") << QStringList{"--fail-result"} << 1;
}

void TestFlashUpgrade::upgrade()
{
    QFETCH(QStringList, sim_flags);
    QFETCH(int, exit_code);
    SimProcess sim(QStringList{"--once", "--erase-ms", "50", "--save", "received.bin"} + sim_flags);
    QVERIFY(sim.ready());
    const QString report_path = sim.dir() + "/report.json";

    const FlashRun run = runFlash({"--port", sim.port(), "--report", report_path, m_firmware});
    QCOMPARE(run.exit_code, exit_code);
    QCOMPARE(sim.waitExit(), 0); // the image arrived whole either way

    const QJsonObject report = readJson(report_path);
    QCOMPARE(report.value("exit_code").toInt(), exit_code);
    QCOMPARE(report.value("size").toInt(), IMAGE_SIZE + 4);
    QCOMPARE(report.value("packets").toInt(), IMAGE_PACKETS);
    QCOMPARE(report.value("blocks_acknowledged").toInt(), IMAGE_PACKETS);
    QCOMPARE(report.value("current_version").toString(), QString("01.00.00.00"));
    QCOMPARE(report.value("target_version").toString(), QString("01.02.03.04"));
    // Every block the device asked for again was sent again, and only those.
    const QStringList events = sim.events();
    QCOMPARE(report.value("repeats").toInt(), askedAgain(events));
    QCOMPARE(report.value("naks").toInt() % 3, 0);
    const QJsonObject phases = report.value("phases").toObject();
    double sum = 0;
    for (const char *phase : {"query", "erase", "transfer", "completion"}) {
        QVERIFY2(phases.value(phase).isDouble(), phase);
        sum += phases.value(phase).toDouble();
    }
    QVERIFY(qAbs(sum - phases.value("total").toDouble()) < 0.01);

    if (exit_code == 0) {
        QCOMPARE(report.value("result").toString(), QString("success"));
        QVERIFY(run.err.contains("Upgrade finished!"));
        QFile saved(sim.dir() + "/received.bin");
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll() == m_plain);
    } else {
        QCOMPARE(report.value("result").toString(), QString("device failure"));
        QVERIFY(run.err.contains("Upgrade faild!"));
        QVERIFY(!run.err.contains("Upgrade finished!"));
    }
}

void TestFlashUpgrade::checkVersion_data()
{
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("with_firmware");
    QTest::addColumn<QString>("expected");

    QTest::newRow("device only") << "KT62_V01.00.00.00" << false
                                 << "Current version: 01.00.00.00\n";
    QTest::newRow("device and file") << "KT62_V02.10.00.07" << true
                                     << "Current version: 02.10.00.07\n"
                                        "Target version: 01.02.03.04\n";
    QTest::newRow("answer without a version") << "KT62" << false << "Current version: unknown\n";
}

void TestFlashUpgrade::checkVersion()
{
    QFETCH(QString, info);
    QFETCH(bool, with_firmware);
    QFETCH(QString, expected);
    SimProcess sim({"--once", "--info", info});
    QVERIFY(sim.ready());
    QStringList arguments{"--check-version", "--port", sim.port()};
    if (with_firmware) {
        arguments << m_firmware;
    }
    const FlashRun run = runFlash(arguments);
    QCOMPARE(run.exit_code, 0);
    QCOMPARE(run.out, expected);
    QCOMPARE(sim.waitExit(), 0);
    // The query names the file's version; the check erases nothing.
    const QStringList events = sim.events();
    QVERIFY(events.contains(with_firmware ? "query \"01.02.03.04\"" : "query \"\""));
    QVERIFY(events.contains("cancel"));
    QVERIFY(events.filter("erase").isEmpty());
}

QTEST_GUILESS_MAIN(TestFlashUpgrade)
#include "tst_flash_upgrade.moc"
