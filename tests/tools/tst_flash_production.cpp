// kt62-flash on a production line, end to end against kt62-sim boards that are plugged in and
// pulled out: the JSON event stream of good, failing, retried, skipped and waiting runs with their
// retries counted, and stations that serve boards as they come and end by a signal.
#include "firmware/firmware_image.h"
#include "tests/tools/flash_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {
constexpr int IMAGE_SIZE = 20 * 1024 + 100;
constexpr int LIMIT_MS = 30000;                 // a loaded machine is slow, never this slow
constexpr double PROGRESS_GAP = 0.2 - 0.0015;   // five a second, "t" rounded to the millisecond
const QString ON_VERSION = "KT62_V01.02.03.04"; // the answer of a board on the image's version
const QString AGAIN = "again"; // not for the simulator: the board serves run after run

// One port's boards, plugged in one after another: each a kt62-sim on the port's link, the next
// started when the one before has gone (and its link with it).
class Boards
{
public:
    Boards(const QString &link, const QList<QStringList> &boards) : m_link(link), m_boards(boards)
    {}
    ~Boards()
    {
        m_closing = true;
        for (const auto &sim : m_sims) {
            sim->kill(), sim->waitForFinished();
        }
    }
    void plug()
    {
        if (m_closing || m_sims.size() >= std::size_t(m_boards.size())) {
            return;
        }
        QStringList flags = m_boards.at(int(m_sims.size()));
        if (!flags.removeOne(AGAIN)) {
            flags << "--once";
        }
        m_sims.push_back(std::make_unique<QProcess>());
        QObject::connect(m_sims.back().get(),
                         QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [this] { plug(); });
        m_sims.back()->start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/sim/kt62-sim",
                             QStringList{"--link", m_link, "--erase-ms", "50", "--save",
                                         saved(int(m_sims.size()) - 1)} +
                                 flags);
    }
    QString saved(int board) const { return m_link + ".saved" + QString::number(board); }
    QStringList events(int board) const // what it heard, the pty's name and the seed left out
    {
        return QString(m_sims.at(std::size_t(board))->readAllStandardOutput())
            .split('\n', Qt::SkipEmptyParts)
            .mid(2);
    }

private:
    QString m_link;
    QList<QStringList> m_boards;
    std::vector<std::unique_ptr<QProcess>> m_sims;
    bool m_closing = false;
};

// kt62-flash running on while the test plugs boards; killed when the object goes.
struct Flash
{
    explicit Flash(const QStringList &arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash",
                      arguments);
    }
    ~Flash() { process.kill(), process.waitForFinished(); }
    int code() // -1 when it crashed or hung
    {
        const bool ended =
            QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, LIMIT_MS);
        out += process.readAllStandardOutput();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QStringList lines() const { return QString(out).split('\n', Qt::SkipEmptyParts); }
    QList<QJsonObject> events() const // the lines that are JSON objects
    {
        QList<QJsonObject> events;
        for (const QString &line : lines()) {
            const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8());
            if (document.isObject()) {
                events << document.object();
            }
        }
        return events;
    }
    int count(const QString &event) const // "event" leads every line
    {
        return QString(out).count("{\"event\":\"" + event + "\"");
    }
    QProcess process;
    QByteArray out;
    QString err;
};

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
        while (m_plain.size() < IMAGE_SIZE) {
            m_plain.append(char(m_plain.size() * 7919 % 257));
        }
        m_good = path("KT62_V01.02.03.04.bin");
        QVERIFY(
            encrypt_firmware_file(write(path("KT62_01.02.03.04.bin"), m_plain), m_good).status ==
            EncryptStatus::Ok);
        write(path("KT62_V05.05.05.05.bin"), m_plain); // a plain image named as an encrypted one
    }

    void runs_data()
    {
        QTest::addColumn<QList<QStringList>>("boards"); // simulator flags, one after the other
        QTest::addColumn<bool>("plugged"); // before the run; otherwise once kt62-flash waits
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("events");
        using Boards = QList<QStringList>;
        const QString good = "start query erase transfer progress completion result";
        // On a line's pace the transfer takes long enough for the progress to be thinned out.
        QTest::newRow("good, on another version")
            << Boards{{"--pace", "115200"}} << true << QStringList{"--skip-same"} << 0 << 1 << good;
        QTest::newRow("failing") << Boards{{"--fail-result"}} << true << QStringList{} << 1 << 1
                                 << good;
        QTest::newRow("retried after a pulled cable")
            << Boards{{"--exit-after", "3"}, {}} << true << QStringList{"--retries", "1"} << 0 << 2
            << "start query erase transfer progress " + good;
        QTest::newRow("retries used up")
            << Boards{{AGAIN, "--fail-result"}} << true << QStringList{"--retries", "2"} << 1 << 3
            << "start query erase transfer progress completion "
               "start query erase transfer progress completion " +
                   good;
        QTest::newRow("skipped") << Boards{{"--info", ON_VERSION}} << true
                                 << QStringList{"--skip-same"} << 0 << 1 << "start query result";
        // A version is read only from an answer that is well formed.
        QTest::newRow("answer without a version, not skipped")
            << Boards{{"--info", "KT62-V01.02.03.04"}} << true << QStringList{"--skip-same"} << 0
            << 1 << good;
        QTest::newRow("bad image, never retried")
            << Boards{{}} << true << QStringList{"--retries", "3", path("KT62_V05.05.05.05.bin")}
            << 2 << 0 << "";
        QTest::newRow("waits for the port")
            << Boards{{}} << false << QStringList{"--wait", "--timeout", "10"} << 0 << 1 << good;
        QTest::newRow("port never appears")
            << Boards{} << false << QStringList{"--wait", "--timeout", "0.5"} << 3 << 0 << "result";
    }

    void runs()
    {
        QFETCH(QList<QStringList>, boards);
        QFETCH(bool, plugged);
        QFETCH(QStringList, flags);
        QFETCH(int, exit_code);
        QFETCH(int, attempts);
        const QTemporaryDir here; // the boards' saved images are the row's own
        const QString port = here.filePath("tty"), report = here.filePath("report.json");
        Boards line(port, boards);
        if (plugged) {
            line.plug();
            QVERIFY(QTest::qWaitFor([&] { return QFile::exists(port); }, LIMIT_MS));
        }
        if (!flags.contains(path("KT62_V05.05.05.05.bin"))) {
            flags << m_good;
        }
        Flash flash(QStringList{"--json", "--timeout", "5", "--port", port, "--report", report} +
                    flags);
        if (!plugged) {
            QVERIFY(QTest::qWaitFor([&] { return flash.err.contains("Waiting up to"); }, LIMIT_MS));
            line.plug();
        }
        QCOMPARE(flash.code(), exit_code);
        const QList<QJsonObject> events = flash.events();
        QCOMPARE(events.size(), flash.lines().size()); // every line an object
        QTEST(sequence(events), "events");
        const QJsonObject entry = QJsonDocument::fromJson(read_file(report))["ports"][0].toObject();
        QCOMPARE(entry.value("attempts").toInt(-1), attempts);
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
            // At most five a second, and always the last of a run (100 % when it got that far).
            const bool last =
                i + 1 == events.size() || events.at(i + 1).value("event") != "progress";
            const bool thinned = i > 0 && events.at(i - 1).value("event") == "progress" &&
                                 event.value("event") == "progress" && !last;
            QVERIFY(!thinned || t - events.at(i - 1).value("t").toDouble() >= PROGRESS_GAP);
        }
        if (exit_code == 2) { // refused before anything was sent: not even the start sequence
            QCOMPARE(line.events(0), QStringList());
            return;
        }
        QCOMPARE(without_event_fields(events.last()), entry); // the result is the report's entry
        if (QTest::currentDataTag() == QString("good, on another version")) {
            QVERIFY(flash.count("progress") > 3);
        }
        if (exit_code != 0) {
            return;
        }
        const int last = boards.size() - 1;
        const bool skipped = entry.value("result") == "skipped";
        QCOMPARE(QFile::exists(line.saved(last)), !skipped);
        QVERIFY(skipped || read_file(line.saved(last)) == m_plain);
        const QStringList heard = line.events(last);
        QCOMPARE(heard.contains("cancel"), skipped);
        QCOMPARE(heard.filter(QRegularExpression("^erase ")).isEmpty(), skipped);
    }

    void station_data()
    {
        QTest::addColumn<QList<QList<QStringList>>>("ports"); // each port's boards
        QTest::addColumn<QString>("stop_after");              // the signal follows N such events
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QVector<int>>("tally");         // served, succeeded, failed, skipped
        QTest::addColumn<QList<QStringList>>("results"); // each port's, board by board
        using Ports = QList<QList<QStringList>>;
        using Results = QList<QStringList>;
        QTest::newRow("three boards, one failing")
            << Ports{{{}, {"--info", ON_VERSION}}, {{"--fail-result"}}} << "device 3" << SIGTERM
            << 1 << QVector<int>{3, 1, 1, 1} << Results{{"success", "skipped"}, {"device failure"}};
        // The board before ran the image's version; this one's answer names no version.
        QTest::newRow("nothing left over from the board before")
            << Ports{{{"--info", ON_VERSION}, {"--info", "KT62-V01.02.03.04"}}} << "device 2"
            << SIGINT << 0 << QVector<int>{2, 1, 0, 1} << Results{{"skipped", "success"}};
        QTest::newRow("signal during a run")
            << Ports{{{"--silent-after", "1"}}} << "progress 1" << SIGTERM << 128 + SIGTERM
            << QVector<int>{1, 0, 1, 0} << Results{{"interrupted"}};
    }

    void station()
    {
        QFETCH(QList<QList<QStringList>>, ports);
        QFETCH(QString, stop_after);
        QFETCH(int, signal);
        QFETCH(QVector<int>, tally);
        const QTemporaryDir here;
        std::vector<std::unique_ptr<Boards>> lines;
        QStringList arguments{"--station",
                              "--json",
                              "--skip-same",
                              "--timeout",
                              "10",
                              "--report",
                              here.filePath("station.json"),
                              m_good};
        for (int i = 0; i < ports.size(); ++i) {
            lines.push_back(std::make_unique<Boards>(here.filePath("tty%1").arg(i), ports.at(i)));
            arguments << "--port" << here.filePath("tty%1").arg(i);
        }
        Flash flash(arguments);
        for (const auto &line : lines) {
            line->plug();
        }
        const QStringList stop = stop_after.split(' ');
        QVERIFY(QTest::qWaitFor([&] { return flash.count(stop[0]) >= stop[1].toInt(); }, LIMIT_MS));
        QCOMPARE(::kill(flash.process.processId(), signal), 0);
        QTEST(flash.code(), "exit_code");

        const QList<QJsonObject> events = flash.events();
        QCOMPARE(events.size(), flash.lines().size());
        const QJsonObject counts{{"served", tally[0]},
                                 {"succeeded", tally[1]},
                                 {"failed", tally[2]},
                                 {"skipped", tally[3]}};
        QJsonObject summary = counts;
        summary.insert("port", QJsonValue()), summary.insert("exit_code", flash.code());
        QCOMPARE(without_event_fields(events.last()), summary);
        QVERIFY(flash.err.endsWith(
            QString("Station ended: boards served: %1, succeeded: %2, failed: %3, skipped: %4\n")
                .arg(tally[0])
                .arg(tally[1])
                .arg(tally[2])
                .arg(tally[3])));
        const QJsonObject report =
            QJsonDocument::fromJson(read_file(here.filePath("station.json"))).object();
        QCOMPARE(report.value("exit_code").toInt(-1), flash.code());
        QCOMPARE(report.value("summary").toObject(), counts);
        // Each port numbers its boards; a board's device event follows its result event.
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

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    static QString write(const QString &name, const QByteArray &bytes)
    {
        QFile file(name);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? name : "";
    }
    QTemporaryDir m_dir;
    QByteArray m_plain;
    QString m_good;
};

QTEST_GUILESS_MAIN(TestFlashProduction)
#include "tst_flash_production.moc"
