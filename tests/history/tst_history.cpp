// The board history on SQLite files and on a PostgreSQL server the test starts itself: every
// column kept, an older schema migrated and a newer one refused; a station killed mid-board, a
// read-only file, a full disk, a server that stops; two stations at once.
#include "history/history.h"
#include "history/history_export.h"
#include "tests/support/pgserver.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int LIMIT_MS = 60000;      // a loaded machine is slow, never this slow
const char *const CHILD = "--child"; // FILE COUNT: COUNT boards, then one begun; -1: open only
const QByteArray IN_PROGRESS = "in progress";
enum Backend
{
    Sqlite,
    Postgres
};

BoardRecord full_record(int n)
{
    BoardRecord r;
    r.started = QDateTime(QDate(2026, 12, 7), QTime(10, 11, 12, 345), Qt::UTC).addSecs(n);
    r.ended = r.started.addMSecs(19262);
    r.station = "line 3, fixture \"A\"";
    r.port = r.usb_identity = "usb:0403:6001:A50285BI";
    r.system_port = "/dev/ttyUSB" + QString::number(n);
    r.device_model = "KT62";
    r.version_before = "01.00.00.00";
    r.target_version = "01.02.03.04";
    r.image_file = "KT62_V01.02.03.04.bin";
    r.image_sha256 = QString(64, 'a');
    r.result = "success";
    r.exit_code = 0;
    r.message = "Upgrade finished!\nline two, 中文";
    r.attempts = 2;
    r.blocks_sent = 203 + n;
    r.blocks_acknowledged = 201;
    r.repeats = 2;
    r.naks = 3;
    r.query_seconds = 1.051;
    r.erase_seconds = 0.2;
    r.transfer_seconds = 18.01;
    r.completion_seconds = 0.001;
    return r;
}

QList<QJsonObject> rows(const HistoryTarget &target, const HistoryFilter &filter = {})
{
    QList<QJsonObject> rows;
    QString error;
    if (!read_history(
            target, filter,
            [&rows](const BoardRecord &r) { return rows << board_to_json(r), true; }, &error)) {
        qWarning() << error;
    }
    return rows;
}
// The record as its row reads back: with its id, and as begun (no end, no exit code) or whole.
QJsonObject row_of(BoardRecord record, qint64 id, bool begun = false)
{
    record.id = id;
    if (begun) {
        record.result = BOARD_STARTED;
        record.exit_code = -1;
        record.ended = QDateTime();
    }
    return board_to_json(record);
}
qint64 id_of(const QJsonObject &row)
{
    return qint64(row["id"].toDouble());
}

QString open_error(History &history) // empty when it opened
{
    QSignalSpy opened(&history, &History::opened);
    history.open();
    return !opened.wait(LIMIT_MS)  ? "no answer"
           : opened[0][0].toBool() ? QString()
                                   : opened[0][1].toString();
}
quint64 begin_board(History &history, const BoardRecord &record) // 0: refused
{
    QSignalSpy begun(&history, &History::begun);
    const quint64 ticket = history.begin(record);
    return begun.wait(LIMIT_MS) && begun[0][1].toBool() ? ticket : 0;
}
bool complete_board(History &history, quint64 ticket, const BoardRecord &record)
{
    QSignalSpy completed(&history, &History::completed);
    history.complete(ticket, record);
    return completed.wait(LIMIT_MS) && completed[0][1].toBool();
}

// The child process: opens the history (and says why not), writes COUNT boards whole, begins one
// more, says so and waits to be killed.
int child(const QString &path, int count)
{
    HistoryTarget target;
    target.path = path;
    History history(target);
    const QString error = open_error(history);
    QTextStream out(stdout);
    if (!error.isEmpty() || count < 0) {
        out << (error.isEmpty() ? "opened" : error) << Qt::endl;
        return error.isEmpty() ? 0 : 1;
    }
    for (int n = 0; n < count; ++n) {
        if (!complete_board(history, begin_board(history, full_record(n)), full_record(n))) {
            return 1;
        }
    }
    if (!begin_board(history, full_record(count))) {
        return 1;
    }
    out << IN_PROGRESS << Qt::endl;
    return QCoreApplication::exec(); // until SIGKILL
}
} // namespace

class TestHistory : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    PgServer m_server;
    int m_made = 0;

    HistoryTarget fresh(int backend) // a new, empty history
    {
        const QString name = QString("h%1").arg(++m_made);
        HistoryTarget target;
        target.path = m_dir.filePath(name + ".db");
        QString error;
        if (backend == Postgres &&
            !((error = m_server.psql("postgres", "CREATE DATABASE " + name)).isEmpty() &&
              parse_history_target(m_server.url(name), &target, &error))) {
            qWarning() << error;
        }
        return target;
    }
    // Makes the schema of the target up to version and runs sql on it, beside History.
    static bool direct(const HistoryTarget &target, int version, const QString &sql)
    {
        QString error;
        const bool ok = [&] {
            QSqlDatabase db = open_history_connection(target, "direct", {}, true, &error);
            return error.isEmpty() && prepare_schema(db, target, &error, version) &&
                   exec_sql(db, sql, &error);
        }();
        QSqlDatabase::removeDatabase("direct");
        return ok || (qWarning() << error, false);
    }

private slots:
    void initTestCase()
    {
        const QString error = m_server.start();
        QVERIFY2(error.isEmpty(), qPrintable("the test's PostgreSQL server: " + error));
    }

    // A history of the first release keeps its board and gains the new columns (NULL); one of
    // a newer schema is refused. Every column of a board reads back.
    void open_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<int>("version"); // the schema before the open
        QTest::newRow("postgresql, first release") << int(Postgres) << 1;
        QTest::newRow("sqlite, newer") << int(Sqlite) << 3;
    }
    void open()
    {
        QFETCH(int, backend);
        QFETCH(int, version);
        const HistoryTarget target = fresh(backend);
        QVERIFY(direct(target, 1,
                       "INSERT INTO kt62_boards (started, station, result) VALUES "
                       "('2025-01-01T00:00:00.000Z', 'old', 'success')"));
        QVERIFY(version == 1 || direct(target, 2, "UPDATE kt62_schema SET version = 3"));
        History history(target);
        const QString error = open_error(history);
        if (version == 3) {
            QCOMPARE(error, "the history " + target.display() +
                                " has schema version 3; this kt62-flash knows up to 2");
            return;
        }
        QCOMPARE(error, QString());
        BoardRecord old;
        old.started = QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC);
        old.station = "old";
        old.result = "success";
        const quint64 ticket = begin_board(history, full_record(7));
        const QList<QJsonObject> begun = rows(target);
        QCOMPARE(begun.size(), 2);
        QCOMPARE(begun, (QList<QJsonObject>{row_of(old, id_of(begun[0])),
                                            row_of(full_record(7), id_of(begun[1]), true)}));
        QVERIFY(complete_board(history, ticket, full_record(7)));
        QCOMPARE(rows(target).last(), row_of(full_record(7), id_of(begun[1])));
    }

    // SIGKILL mid-board: every ended board's row whole, the board in progress "started". Made
    // read-only, the file is refused at the open (root writes anything: an unprivileged user
    // opens it instead), and keeps its rows.
    void killed_then_read_only()
    {
        QTemporaryDir folder;
        HistoryTarget target;
        target.path = folder.filePath("station.db");
        QProcess station;
        station.start(QCoreApplication::applicationFilePath(), {CHILD, target.path, "3"});
        QVERIFY(QTest::qWaitFor(
            [&] { return station.canReadLine() || station.state() == QProcess::NotRunning; },
            LIMIT_MS));
        QCOMPARE(station.readLine().trimmed(), IN_PROGRESS);
        station.kill();
        QVERIFY(station.waitForFinished(LIMIT_MS));
        const QList<QJsonObject> kept = rows(target);
        QCOMPARE(kept.size(), 4);
        for (int n = 0; n < 4; ++n) {
            QCOMPARE(kept[n], row_of(full_record(n), id_of(kept[n]), n == 3));
        }

        QString answer;
        if (geteuid() == 0) {
            QVERIFY(chmod(folder.path().toLocal8Bit(), 0755) == 0);
            station.start("runuser", {"-u", "nobody", "--", QCoreApplication::applicationFilePath(),
                                      CHILD, target.path, "-1"});
            QVERIFY(station.waitForFinished(LIMIT_MS));
            QCOMPARE(station.exitCode(), 1);
            answer = QString::fromUtf8(station.readAllStandardOutput()).trimmed();
        } else {
            QVERIFY(chmod(target.path.toLocal8Bit(), 0444) == 0 &&
                    chmod(folder.path().toLocal8Bit(), 0555) == 0);
            History history(target);
            answer = open_error(history);
            chmod(folder.path().toLocal8Bit(), 0755);
        }
        QVERIFY2(answer.startsWith("cannot ") && answer.contains(target.path), qPrintable(answer));
        QCOMPARE(rows(target), kept);
    }

    // A write that fails mid-run (a full disk, a server gone) fails the history once: no new
    // board is begun, and the completions of the boards in progress go to the fallback file.
    void fails_midway_data()
    {
        QTest::addColumn<int>("backend");
        QTest::newRow("sqlite: full disk") << int(Sqlite);
        QTest::newRow("postgresql: server stopped") << int(Postgres);
    }
    void fails_midway()
    {
        QFETCH(int, backend);
        const HistoryTarget target = fresh(backend);
        HistoryOptions options;
        options.fallback_path = m_dir.filePath(QString("fallback%1.jsonl").arg(m_made));
        History history(target, options);
        QCOMPARE(open_error(history), QString());
        const quint64 first = begin_board(history, full_record(1));
        const quint64 second = begin_board(history, full_record(2));
        QVERIFY(first && second);
        QSignalSpy failed(&history, &History::failed);
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit before = limit;
        const auto handler = signal(SIGXFSZ, SIG_IGN);
        if (backend == Sqlite) {
            // The journal may not grow by a byte from here: the next commit meets a full disk.
            limit.rlim_cur = QFileInfo(target.path + "-wal").size();
            QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        } else {
            QCOMPARE(m_server.stop(), QString());
        }
        const bool saved = complete_board(history, second, full_record(2));
        const quint64 refused = begin_board(history, full_record(3));
        const bool saved_after = complete_board(history, first, full_record(1));
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, handler);
        QCOMPARE(backend == Postgres ? m_server.resume() : QString(), QString());

        QVERIFY(!saved && !refused && !saved_after);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][1].toString(), options.fallback_path);
        QVERIFY2(failed[0][0].toString().contains(target.display()),
                 qPrintable(failed[0][0].toString()));
        const QList<QJsonObject> kept = rows(target);
        QCOMPARE(kept.size(), 2);
        const qint64 id = id_of(kept[0]);
        QCOMPARE(kept, (QList<QJsonObject>{row_of(full_record(1), id, true),
                                           row_of(full_record(2), id + 1, true)}));
        QFile fallback(options.fallback_path);
        QVERIFY(fallback.open(QIODevice::ReadOnly));
        const QByteArray lines = fallback.readAll();
        QCOMPARE(
            lines,
            QJsonDocument(row_of(full_record(2), id + 1)).toJson(QJsonDocument::Compact) + '\n' +
                QJsonDocument(row_of(full_record(1), id)).toJson(QJsonDocument::Compact) + '\n');
    }

    // Two stations open one fresh database at once (one of them makes the schema) and record
    // their boards, each one after another, at the same time.
    void two_stations()
    {
        constexpr int BOARDS = 40;
        const HistoryTarget target = fresh(Postgres);
        History one(target), two(target);
        QSignalSpy one_opened(&one, &History::opened), two_opened(&two, &History::opened);
        one.open();
        two.open();
        QVERIFY(QTest::qWaitFor([&] { return one_opened.size() && two_opened.size(); }, LIMIT_MS));
        QVERIFY(one_opened[0][0].toBool() && two_opened[0][0].toBool());
        int done[2] = {0, 0};
        for (int s = 0; s < 2; ++s) {
            History *station = s ? &two : &one;
            BoardRecord record = full_record(0);
            record.station = s ? "two" : "one";
            connect(station, &History::begun, station,
                    [station, record](quint64 ticket) { station->complete(ticket, record); });
            connect(station, &History::completed, station,
                    [station, record, &count = done[s]](quint64, bool ok) {
                        if (ok && ++count < BOARDS) {
                            station->begin(record);
                        }
                    });
            station->begin(record);
        }
        QTRY_COMPARE_WITH_TIMEOUT(done[0] + done[1], 2 * BOARDS, LIMIT_MS);
        QSet<qint64> ids;
        int of_one = 0;
        for (const QJsonObject &row : rows(target, {QDateTime(), "success"})) {
            ids << id_of(row);
            of_one += row["station"] == "one";
        }
        QCOMPARE(ids.size(), 2 * BOARDS);
        QCOMPARE(of_one, BOARDS);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && app.arguments().at(1) == CHILD) {
        return child(app.arguments().at(2), app.arguments().at(3).toInt());
    }
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
