// kt62-flash on a production line, end to end against kt62-sim boards that are plugged in and
// pulled out: event streams, retries, waiting, stations and their signals.
#include "firmware/firmware_image.h"
#include "tests/tools/flash_run.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace {
constexpr double PROGRESS_GAP = 0.2 - 0.0015;   // five a second, "t" rounded to the millisecond
const QString ON_VERSION = "KT62_V01.02.03.04"; // the answer of a board on the image's version
const QString AGAIN = "again";                  // a board that serves run after run, not once

// One port's boards, plugged in one after another: each a kt62-sim on the port's link, the next
// started when the one before has gone (and its link with it). A board is its simulator flags
// (none for a good one), AGAIN among them or not.
class Boards
{
public:
    Boards(const QString &link, const QStringList &boards) : m_link(link)
    {
        for (QString board : boards) {
            const QString once = board.contains(AGAIN) ? "" : " --once";
            m_boards << (board.remove(AGAIN) + once).split(' ', Qt::SkipEmptyParts);
        }
    }
    ~Boards()
    {
        for (const auto &sim : sims) {
            sim->process.disconnect(); // plugs no more
        }
    }
    void plug()
    {
        if (sims.size() < std::size_t(m_boards.size())) {
            sims.push_back(std::make_unique<Sim>(m_boards.at(int(sims.size())), m_link));
            QObject::connect(&sims.back()->process,
                             QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                             [this] { plug(); });
        }
    }
    std::vector<std::unique_ptr<Sim>> sims;
    QString m_link;
    QList<QStringList> m_boards;
};

QList<QJsonObject> events(const Tool &flash) // the lines of its output; empty when not JSON
{
    QList<QJsonObject> events;
    for (const QString &line : flash.out.split('\n', Qt::SkipEmptyParts)) {
        events << QJsonDocument::fromJson(line.toUtf8()).object();
    }
    return events;
}

int count(const Tool &flash, const QString &event) // "event" leads every line
{
    return flash.out.count("{\"event\":\"" + event + "\"");
}

// The events in a word each: a phase by its name, a run of progress events as one.
QString sequence(const QList<QJsonObject> &events)
{
    QStringList words;
    for (const QJsonObject &event : events) {
        const QString word = event.value("event").toString() == "phase"
                                 ? event.value("phase").toString()
                                 : event.value("event").toString();
        if (word != "progress" || words.isEmpty() || words.last() != word) {
            words << word;
        }
    }
    return words.join(' ');
}

QJsonObject without_event_fields(QJsonObject event)
{
    event.remove("event"), event.remove("t");
    return event;
}
} // namespace

class TestFlashProduction : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(write_file(path("KT62_01.02.03.04.bin"), plain_image()) &&
                write_file(m_renamed, plain_image()));
        QVERIFY(encrypt_firmware_file(path("KT62_01.02.03.04.bin"), m_good).status ==
                EncryptStatus::Ok);
    }

    void runs_data()
    {
        QTest::addColumn<QStringList>("boards"); // one after the other
        QTest::addColumn<QString>("flags");      // the firmware when not the good one
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("expected"); // the events; a "start" for each attempt
        const auto row = [](const char *tag, const QStringList &boards, const QString &flags,
                            int exit_code, const QString &expected) {
            QTest::newRow(tag) << boards << flags << exit_code << expected;
        };
        const QString good = "start query erase transfer progress completion result";
        row("good, on another version", {"--pace 115200"}, "--skip-same", 0, good);
        row("retried after a pulled cable", {"--exit-after 3", ""}, "--retries 1", 0,
            "start query erase transfer progress " + good);
        row("retries used up", {AGAIN + " --fail-result"}, "--retries 2", 1,
            "start query erase transfer progress completion "
            "start query erase transfer progress completion " +
                good);
        row("skipped", {"--info " + ON_VERSION}, "--skip-same", 0, "start query result");
        // An erased board may still tell its old version: once erased, it is upgraded.
        row("erased, then telling the image's version", {"--exit-after 3", "--info " + ON_VERSION},
            "--retries 1 --skip-same", 0, "start query erase transfer progress " + good);
        row("bad image, never retried", {""}, "--retries 3 " + m_renamed, 2, "");
        row("waits for the port", {""}, "--wait --timeout 10", 0, good);
        row("port never appears", {}, "--wait --timeout 0.5", 3, "result");
    }

    void runs()
    {
        QFETCH(QStringList, boards);
        QFETCH(QString, flags);
        QFETCH(int, exit_code);
        QFETCH(QString, expected);
        const bool plugged = !flags.contains("--wait");
        const QTemporaryDir here;
        const QString port = here.filePath("tty"), report = here.filePath("report.json");
        Boards line(port, boards);
        if (plugged) {
            line.plug();
            QVERIFY(line.sims.front()->ready());
        }
        QStringList arguments{"--json", "--timeout", "5", "--port", port, "--report", report};
        arguments += flags.split(' ', Qt::SkipEmptyParts);
        Tool flash(flags.contains(".bin") ? arguments : arguments << m_good);
        if (!plugged) {
            QVERIFY(QTest::qWaitFor([&] { return flash.err.contains("Waiting up to"); }, LIMIT_MS));
            line.plug();
        }
        QCOMPARE(flash.code(), exit_code);
        const QList<QJsonObject> events = ::events(flash);
        QCOMPARE(events.size() - events.count(QJsonObject()), flash.out.count('\n')); // all JSON
        QCOMPARE(sequence(events), expected);
        const QJsonObject entry = ::report(report, 0);
        QCOMPARE(entry.value("attempts").toInt(-1), expected.count("start"));
        int attempt = 0;
        double t = 0;
        for (int i = 0; i < events.size(); ++i) {
            const QJsonObject &event = events.at(i);
            QCOMPARE(event.value("port").toString(), port);
            QVERIFY(event.value("t").toDouble(-1) >= t);
            t = event.value("t").toDouble();
            if (event.value("event") == "start") {
                QCOMPARE(event.value("attempt").toInt(), ++attempt);
            }
            const auto progress = [&](int at) { return events.value(at)["event"] == "progress"; };
            if (progress(i - 1) && progress(i) && progress(i + 1)) {
                QVERIFY(t - events.at(i - 1).value("t").toDouble() >= PROGRESS_GAP);
            }
        }
        if (exit_code == 2) { // refused before anything was sent: not even the start sequence
            QCOMPARE(line.sims.front()->events(), QStringList());
            return;
        }
        QCOMPARE(without_event_fields(events.last()), entry); // the result is the report's entry
        QVERIFY(!boards.value(0).contains("--pace") || count(flash, "progress") > 3); // thinned
        if (exit_code != 0) {
            return;
        }
        Sim &board = *line.sims.back();
        QCOMPARE(board.code(), 0); // served, and gone
        const bool skipped = entry.value("result") == "skipped";
        QCOMPARE(read_file(board.saved()), skipped ? QByteArray() : plain_image());
        const QStringList heard = board.events();
        QCOMPARE(heard.contains("cancel"), skipped);
        QCOMPARE(heard.filter(QRegularExpression("^erase ")).isEmpty(), skipped);
    }

    void station_data()
    {
        QTest::addColumn<QList<QStringList>>("ports"); // each port's boards
        QTest::addColumn<QString>("event");            // the signal follows count such events
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("tally");              // as the station's last words say it
        QTest::addColumn<QList<QStringList>>("results"); // each port's, board by board
        QTest::newRow("three boards, one failing")
            << QList<QStringList>{{"", "--info " + ON_VERSION}, {"--fail-result"}} << "device" << 3
            << SIGTERM << 1 << "boards served: 3, succeeded: 1, failed: 1, skipped: 1"
            << QList<QStringList>{{"success", "skipped"}, {"device failure"}};
        // The board before ran the image's version; this one's answer names no version.
        QTest::newRow("nothing left over from the board before")
            << QList<QStringList>{{"--info " + ON_VERSION, "--info KT62-V01.02.03.04"}} << "device"
            << 2 << SIGINT << 0 << "boards served: 2, succeeded: 1, failed: 0, skipped: 1"
            << QList<QStringList>{{"skipped", "success"}};
        QTest::newRow("signal during a run")
            << QList<QStringList>{{"--silent-after 1"}} << "progress" << 1 << SIGTERM
            << 128 + SIGTERM << "boards served: 1, succeeded: 0, failed: 1, skipped: 0"
            << QList<QStringList>{{"interrupted"}};
    }

    void station()
    {
        QFETCH(QList<QStringList>, ports);
        QFETCH(QString, event);
        QFETCH(int, count);
        QFETCH(int, signal);
        QFETCH(QString, tally);
        const QTemporaryDir here;
        std::vector<std::unique_ptr<Boards>> lines;
        QStringList arguments = QString("--station --json --skip-same --timeout 10").split(' ');
        arguments << "--report" << here.filePath("station.json") << m_good;
        for (const QStringList &boards : ports) {
            const QString link = here.filePath("tty%1").arg(lines.size());
            lines.push_back(std::make_unique<Boards>(link, boards));
            arguments << "--port" << link;
        }
        Tool flash(arguments);
        for (const auto &line : lines) {
            line->plug();
        }
        QVERIFY(QTest::qWaitFor([&] { return ::count(flash, event) >= count; }, LIMIT_MS));
        QCOMPARE(::kill(flash.process.processId(), signal), 0);
        QTEST(flash.code(), "exit_code");

        const QList<QJsonObject> events = ::events(flash);
        QCOMPARE(events.size() - events.count(QJsonObject()), flash.out.count('\n'));
        QVERIFY(flash.err.endsWith("Station ended: " + tally + "\n"));
        QJsonObject counts;
        for (const QString &part : tally.split(", ")) {
            counts.insert(part.section(": ", 0, 0).remove("boards "),
                          part.section(": ", 1).toInt());
        }
        QJsonObject summary = counts;
        summary.insert("port", QJsonValue()), summary.insert("exit_code", flash.code());
        QCOMPARE(without_event_fields(events.last()), summary);
        const QJsonObject report = ::report(here.filePath("station.json"));
        QCOMPARE(report.value("exit_code").toInt(-1), flash.code());
        QCOMPARE(report.value("summary").toObject(), counts);
        QMap<QString, QStringList> seen, reported;
        for (int i = 1; i < events.size(); ++i) {
            const QJsonObject &event = events.at(i), &before = events.at(i - 1);
            if (event.value("event") == "device") {
                QStringList &port = seen[event.value("port").toString()];
                port << event.value("result").toString();
                QCOMPARE(event.value("serial").toInt(), port.size());
                QCOMPARE(before.value("event").toString() + before.value("port").toString() +
                             before.value("result").toString(),
                         "result" + event.value("port").toString() + port.last());
            }
        }
        QTEST(seen.values(), "results");
        for (const QJsonValue &device : report.value("devices").toArray()) {
            reported[device["port"].toString()] << device["result"].toString();
        }
        QCOMPARE(reported, seen);
    }

    void runGoesOn_data()
    {
        QTest::addColumn<bool>("readerGone"); // else the report's folder
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("said"); // once, on standard error
        QTest::newRow("event reader gone")
            << true << 0 << "kt62-flash: the event stream was closed; the run goes on\n";
        QTest::newRow("report's folder gone")
            << false << 5 << "kt62-flash: cannot write the report";
    }

    void runGoesOn() // something outside the run goes away in the middle of it
    {
        QFETCH(bool, readerGone);
        QFETCH(QString, said);
        const QTemporaryDir here;
        Sim board({"--once", "--pace", "115200"}, here.filePath("tty"));
        QVERIFY(board.ready() && QDir(here.path()).mkdir("reports"));
        const QStringList run{
            Tool::built("flash/kt62-flash"), "--json", "--port", board.link, "--report",
            here.filePath("reports/r.json"), m_good};
        const QString reader = readerGone ? " | head -c 100 >/dev/null" : "";
        Tool flash(QStringList{"-c", "\"$@\"" + reader + "; exit ${PIPESTATUS[0]}", "sh"} + run,
                   QString(), "/bin/bash");
        QVERIFY(board.hears("erase"));
        QVERIFY(readerGone || QDir(here.filePath("reports")).removeRecursively());
        QTEST(flash.code(), "exit_code");
        QVERIFY2(flash.err.count(said) == 1, qPrintable(flash.err));
        QCOMPARE(board.code(), 0); // the image went out whole
        QCOMPARE(::report(here.filePath("reports/r.json"), 0).value("result").toString(),
                 readerGone ? "success" : "");
    }

    // A node changed is the same board, one made anew is another; a board under two names is one.
    void stationKnowsItsBoards()
    {
        const QTemporaryDir here;
        const QString a = here.filePath("a"), b = here.filePath("b"),
                      alias = here.filePath("alias");
        QVERIFY(QFile::link(a, alias)); // leads nowhere yet
        Tool flash(
            QStringList{"--station", "--port", a, "--port", b, "--port", alias, "--json", m_good});
        // Plugged in only then: two names of one device given at the start are an operator's slip.
        QVERIFY(
            QTest::qWaitFor([&] { return flash.err.count("Waiting for a board") == 3; }, LIMIT_MS));
        Sim first({}, a); // serves run after run: it would take the image again
        QVERIFY(QTest::qWaitFor([&] { return count(flash, "device") == 1; }, LIMIT_MS));
        const QString pty = QFileInfo(a).symLinkTarget();
        QVERIFY(::utimensat(AT_FDCWD, qPrintable(a), nullptr, 0) == 0 &&
                ::chmod(qPrintable(pty), 0660) == 0);
        Sim other({"--once"}, b);
        QVERIFY(QTest::qWaitFor([&] { return count(flash, "device") == 2; }, LIMIT_MS));
        first.process.kill();
        QVERIFY(first.process.waitForFinished());
        Sim second({"--once"}, a);
        QVERIFY(QTest::qWaitFor([&] { return count(flash, "device") == 3; }, LIMIT_MS));
        QCOMPARE(first.out.count("start sequence"), 1);
        QVERIFY2(flash.err.contains(" is being served on "), qPrintable(flash.err));
        QCOMPARE(::kill(flash.process.processId(), SIGINT), 0);
        QCOMPARE(flash.code(), 0);
        QVERIFY2(flash.err.endsWith("boards served: 3, succeeded: 3, failed: 0, skipped: 0\n"),
                 qPrintable(flash.err));
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QString m_good = path("KT62_V01.02.03.04.bin");
    QString m_renamed = path("KT62_V05.05.05.05.bin"); // a plain image named as an encrypted one
};

QTEST_GUILESS_MAIN(TestFlashProduction)
#include "tst_flash_production.moc"
