#include "serial/port_scanner.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

namespace {
// Generous: the machine running the suite is shared and loaded.
constexpr int NOTICE_TIMEOUT_MS = 20000;
constexpr qint64 TICK_MS = 300; // the port box's cadence

PortDetails port_named(const QString &name)
{
    PortDetails port;
    port.name = name;
    return port;
}
} // namespace

class TestPortScanner : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void unchangedFolderIsNotEnumeratedAgain();
    void changeInFolderEnumerates_data();
    void changeInFolderEnumerates();
    void settleTimeAfterChange_data();
    void settleTimeAfterChange();
    void safetyInterval_data();
    void safetyInterval();
    void nothingWatchedEnumeratesEveryTime_data();
    void nothingWatchedEnumeratesEveryTime();
    void withoutEventDispatcher();
    void availablePortsGoThroughScanner();
#ifdef Q_OS_LINUX
    void systemScannerWatchesDev();
#endif

private:
    std::unique_ptr<PortScanner> make_scanner(const QString &folder);
    // Waits for the change notice of whatever was just done to the folder.
    bool notice_arrives(PortScanner &scanner);

    std::unique_ptr<QTemporaryDir> m_dir;
    qint64 m_now = 0;
    int m_enumerations = 0;
};

void TestPortScanner::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QFile(m_dir->filePath(QStringLiteral("ttyUSB0"))).open(QIODevice::WriteOnly));
    m_now = 1000;
    m_enumerations = 0;
}

void TestPortScanner::cleanup()
{
    set_port_scanner(nullptr);
    set_port_details_source({});
}

std::unique_ptr<PortScanner> TestPortScanner::make_scanner(const QString &folder)
{
    // Each enumeration reports a list of its own, so a scan that did not
    // enumerate shows in its result too.
    return std::make_unique<PortScanner>(
        folder,
        [this] {
            ++m_enumerations;
            return QList<PortDetails>{port_named(QStringLiteral("scan%1").arg(m_enumerations))};
        },
        [this] { return m_now; });
}

bool TestPortScanner::notice_arrives(PortScanner &scanner)
{
    QSignalSpy notice(&scanner, &PortScanner::ports_may_have_changed);
    return notice.wait(NOTICE_TIMEOUT_MS);
}

void TestPortScanner::unchangedFolderIsNotEnumeratedAgain()
{
    const auto scanner = make_scanner(m_dir->path());
    QVERIFY(scanner->is_watching());
    const QList<PortDetails> first = scanner->scan();
    QCOMPARE(m_enumerations, 1);
    for (m_now += TICK_MS; m_now < PortScanner::SAFETY_INTERVAL_MS; m_now += TICK_MS) {
        QCoreApplication::processEvents();
        QCOMPARE(scanner->scan(), first);
    }
    QCOMPARE(m_enumerations, 1);
}

void TestPortScanner::changeInFolderEnumerates_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("node appears") << "create";
    QTest::newRow("node goes") << "remove";
    QTest::newRow("node renamed") << "rename";
    QTest::newRow("folder appears") << "mkdir";
}

void TestPortScanner::changeInFolderEnumerates()
{
    QFETCH(QString, change);
    const auto scanner = make_scanner(m_dir->path());
    scanner->scan();
    QDir dir(m_dir->path());
    if (change == QLatin1String("create")) {
        QVERIFY(QFile(dir.filePath(QStringLiteral("ttyACM0"))).open(QIODevice::WriteOnly));
    } else if (change == QLatin1String("remove")) {
        QVERIFY(dir.remove(QStringLiteral("ttyUSB0")));
    } else if (change == QLatin1String("rename")) {
        QVERIFY(dir.rename(QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")));
    } else {
        QVERIFY(dir.mkdir(QStringLiteral("serial")));
    }
    QVERIFY(notice_arrives(*scanner));
    QCOMPARE(scanner->scan().first().name, QStringLiteral("scan2"));
    m_now += PortScanner::SETTLE_MS;
    QCOMPARE(scanner->scan().first().name, QStringLiteral("scan2"));
    QCOMPARE(m_enumerations, 2);
}

void TestPortScanner::settleTimeAfterChange_data()
{
    QTest::addColumn<QList<qint64>>("scans"); // ms after the change notice
    QTest::addColumn<int>("enumerations");
    const qint64 settle = PortScanner::SETTLE_MS;
    QTest::newRow("within settle time") << QList<qint64>{0, TICK_MS, settle - 1} << 3;
    QTest::newRow("settled") << QList<qint64>{0, settle, settle + TICK_MS} << 1;
    QTest::newRow("first scan late") << QList<qint64>{settle * 5, settle * 5 + TICK_MS} << 1;
}

void TestPortScanner::settleTimeAfterChange()
{
    QFETCH(QList<qint64>, scans);
    QFETCH(int, enumerations);
    const auto scanner = make_scanner(m_dir->path());
    scanner->scan();
    QVERIFY(QFile(m_dir->filePath(QStringLiteral("ttyACM0"))).open(QIODevice::WriteOnly));
    QVERIFY(notice_arrives(*scanner));
    const qint64 change = m_now;
    for (const qint64 after : scans) {
        m_now = change + after;
        scanner->scan();
    }
    QCOMPARE(m_enumerations, 1 + enumerations);
}

void TestPortScanner::safetyInterval_data()
{
    QTest::addColumn<QList<qint64>>("scans"); // ms after the first scan
    QTest::addColumn<int>("enumerations");
    const qint64 safety = PortScanner::SAFETY_INTERVAL_MS;
    QTest::newRow("just before") << QList<qint64>{safety - 1} << 1;
    QTest::newRow("at the interval") << QList<qint64>{safety} << 2;
    QTest::newRow("counted from the last enumeration")
        << QList<qint64>{safety, safety + TICK_MS, 2 * safety - 1} << 2;
    QTest::newRow("every interval") << QList<qint64>{safety, 2 * safety, 3 * safety} << 4;
}

void TestPortScanner::safetyInterval()
{
    QFETCH(QList<qint64>, scans);
    QFETCH(int, enumerations);
    const auto scanner = make_scanner(m_dir->path());
    const qint64 start = m_now;
    scanner->scan();
    for (const qint64 after : scans) {
        m_now = start + after;
        scanner->scan();
    }
    QCOMPARE(m_enumerations, enumerations);
}

void TestPortScanner::nothingWatchedEnumeratesEveryTime_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("remove_folder");
    QTest::newRow("no folder") << "" << false;
    QTest::newRow("no such folder") << "no-such-folder" << false;
    QTest::newRow("folder removed") << "watched" << true;
}

void TestPortScanner::nothingWatchedEnumeratesEveryTime()
{
    QFETCH(QString, folder);
    QFETCH(bool, remove_folder);
    const QString path = folder.isEmpty() ? folder : m_dir->filePath(folder);
    if (remove_folder) {
        QVERIFY(QDir().mkdir(path));
    }
    const auto scanner = make_scanner(path);
    scanner->scan();
    if (remove_folder) {
        QVERIFY(scanner->is_watching());
        QVERIFY(QDir().rmdir(path));
        QVERIFY(notice_arrives(*scanner));
        m_now += PortScanner::SETTLE_MS;
        m_enumerations = 0;
    }
    QVERIFY(!scanner->is_watching());
    scanner->scan();
    scanner->scan();
    QCOMPARE(m_enumerations, remove_folder ? 2 : 3);
}

void TestPortScanner::withoutEventDispatcher()
{
    // A thread without an event dispatcher never gets change notices, as a
    // tool before it creates its application object: each scan enumerates.
    bool watching = true;
    std::thread plain([&] {
        const auto scanner = make_scanner(m_dir->path());
        watching = scanner->is_watching();
        scanner->scan();
        scanner->scan();
    });
    plain.join();
    QVERIFY(!watching);
    QCOMPARE(m_enumerations, 2);
}

void TestPortScanner::availablePortsGoThroughScanner()
{
    set_port_scanner(make_scanner(m_dir->path()));
    QCOMPARE(available_port_names(), QStringList{"scan1"});
    QCOMPARE(available_ports().first().name, QStringLiteral("scan1"));
    QCOMPARE(m_enumerations, 1);
    // A replacement list is answered as it is, without the scanner.
    set_port_details_source([] { return QList<PortDetails>{port_named("fake")}; });
    QCOMPARE(available_port_names(), QStringList{"fake"});
    QCOMPARE(m_enumerations, 1);
}

#ifdef Q_OS_LINUX
void TestPortScanner::systemScannerWatchesDev()
{
    QVERIFY(PortScanner::for_this_system()->is_watching());
}
#endif

QTEST_GUILESS_MAIN(TestPortScanner)
#include "tst_port_scanner.moc"
