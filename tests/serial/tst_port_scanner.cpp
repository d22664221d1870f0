#include "serial/port_scanner.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr int NOTICE_TIMEOUT_MS = 20000; // generous: the machine running the suite is loaded
constexpr qint64 TICK = 300;             // the port box's cadence
constexpr qint64 SETTLE = PortScanner::SETTLE_MS;
constexpr qint64 SAFETY = PortScanner::SAFETY_INTERVAL_MS;
} // namespace

class TestPortScanner : public QObject
{
    Q_OBJECT
private slots:
    // The first scan at 0 ms, then a change to the folder (if any), then the later scans.
    void scans_data()
    {
        QTest::addColumn<QString>("folder"); // "dev" holds the node ttyUSB0; "missing" is not there
        QTest::addColumn<QString>("change"); // "create" a node, "remove" one, "rmdir" the folder
        QTest::addColumn<QList<qint64>>("later"); // ms of the scans after the first
        QTest::addColumn<QStringList>("answers"); // the enumeration behind each answer
        const auto row = [](const char *tag, const char *folder, const char *change,
                            const QList<qint64> &later, const QStringList &answers) {
            QTest::newRow(tag) << QString(folder) << QString(change) << later << answers;
        };
        row("unchanged: only the safety interval", "dev", "",
            {TICK, SAFETY - 1, SAFETY, 2 * SAFETY - 1, 2 * SAFETY}, {"1", "1", "1", "2", "2", "3"});
        row("node appears: every scan while settling", "dev", "create",
            {0, SETTLE - 1, SETTLE, SETTLE + TICK}, {"1", "2", "3", "3", "3"});
        row("node goes, next scan long after", "dev", "remove", {5 * SETTLE, 5 * SETTLE + TICK},
            {"1", "2", "2"});
        // A removed folder drops out of the watch: from then on every scan enumerates.
        row("folder removed", "dev", "rmdir", {SETTLE, SETTLE + TICK}, {"1", "2", "3"});
        // Scans at one moment share one enumeration, however many ask.
        row("no folder", "", "", {TICK, TICK, 2 * TICK}, {"1", "2", "2", "3"});
        row("no such folder", "missing", "", {TICK}, {"1", "2"});
    }
    void scans()
    {
        QFETCH(QString, folder);
        QFETCH(QString, change);
        QFETCH(QList<qint64>, later);
        QTemporaryDir dir;
        QDir dev(dir.filePath("dev"));
        QVERIFY(dev.mkpath(".") && QFile(dev.filePath("ttyUSB0")).open(QIODevice::WriteOnly));
        // Each enumeration reports one port named after its number, so every scan's answer tells
        // which enumeration it came from. The clock is the test's and starts at 0.
        qint64 now = 0;
        int enumerations = 0;
        PortScanner scanner(
            folder.isEmpty() ? folder : dir.filePath(folder),
            [&] {
                return QList<PortDetails>{
                    {QString::number(++enumerations), "", "", "", "", {}, {}}};
            },
            [&] { return now; });
        QCOMPARE(scanner.is_watching(), folder == "dev");
        QStringList answers{scanner.scan().first().name};
        if (!change.isEmpty()) {
            QSignalSpy notice(&scanner, &PortScanner::ports_may_have_changed);
            QVERIFY(change == "create"   ? QFile(dev.filePath("ttyACM0")).open(QIODevice::WriteOnly)
                    : change == "remove" ? dev.remove("ttyUSB0")
                                         : dev.removeRecursively());
            QVERIFY(notice.wait(NOTICE_TIMEOUT_MS));
            QTRY_COMPARE_WITH_TIMEOUT(scanner.is_watching(), change != "rmdir", NOTICE_TIMEOUT_MS);
        }
        for (const qint64 at : later) {
            now = at;
            answers << scanner.scan().first().name;
        }
        QTEST(answers, "answers");
    }
};

QTEST_GUILESS_MAIN(TestPortScanner)
#include "tst_port_scanner.moc"
