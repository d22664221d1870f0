// The board history on both databases, SQLite in a temporary folder and a PostgreSQL server the
// test starts itself: schemas made, migrated and refused; every column kept; a station killed
// mid-board, a read-only file, a user who may not write, a full disk, a server that goes and one
// too slow; two stations writing to one server at once.
#include "history/history.h"
#include "history/history_export.h"
#include "tests/history/pg_server.h"

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
constexpr int LIMIT_MS = 60000; // a loaded machine is slow, never this slow
const QString SQLITE = "sqlite";
const QString POSTGRES = "postgresql";
const char *const CHILD_STATION = "--station-child"; // DB COUNT: COUNT boards, then one begun
const char *const CHILD_OPEN = "--open-child";       // DB: prints the answer to open()
const QString IN_PROGRESS = "in progress";

BoardRecord full_record(int n)
{
    BoardRecord r;
    r.started = QDateTime(QDate(2026, 12, 7), QTime(10, 11, 12, 345), Qt::UTC).addSecs(n);
    r.ended = r.started.addMSecs(19262);
    r.station = "line 3, fixture \"A\"";
    r.port = "usb:0403:6001:A50285BI";
    r.system_port = "/dev/ttyUSB" + QString::number(n);
    r.usb_identity = "usb:0403:6001:A50285BI";
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

BoardRecord null_record() // every column that may be NULL left so
{
    BoardRecord r;
    r.started = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    r.ended = r.started.addSecs(3);
    r.result = "port error";
    return r;
}

QList<BoardRecord> rows(const HistoryTarget &target, const HistoryFilter &filter = {})
{
    QList<BoardRecord> rows;
    QString error;
    const bool read = read_history(
        target, filter, [&rows](const BoardRecord &r) { return rows << r, true; }, &error);
    if (!read) {
        qWarning() << error;
    }
    return rows;
}

QJsonObject json(const BoardRecord &record)
{
    return board_to_json(record);
}

// Waits for the history's answer to open(); its error, empty when it opened.
QString open_error(History &history)
{
    QSignalSpy opened(&history, &History::opened);
    history.open();
    if (!opened.wait(LIMIT_MS)) {
        return "no answer";
    }
    return opened.at(0).at(0).toBool() ? QString() : opened.at(0).at(1).toString();
}

// Begins a board and waits for the answer; the ticket, 0 when it was refused.
quint64 begin_board(History &history, const BoardRecord &record)
{
    QSignalSpy begun(&history, &History::begun);
    const quint64 ticket = history.begin(record);
    const bool answered = begun.wait(LIMIT_MS);
    return answered && begun.at(0).at(1).toBool() ? ticket : 0;
}

bool complete_board(History &history, quint64 ticket, const BoardRecord &record)
{
    QSignalSpy completed(&history, &History::completed);
    history.complete(ticket, record);
    return completed.wait(LIMIT_MS) && completed.at(0).at(1).toBool();
}

QList<QJsonObject> json_lines(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> lines;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                lines << QJsonDocument::fromJson(line).object();
            }
        }
    }
    return lines;
}

// The child of the kill test: COUNT boards written whole, then one begun; says so and waits to be
// killed.
int station_child(const QString &path, int count)
{
    HistoryTarget target;
    QString error;
    parse_history_target(path, &target, &error);
    History history(target);
    if (!open_error(history).isEmpty()) {
        return 1;
    }
    for (int n = 0; n < count; ++n) {
        const quint64 ticket = begin_board(history, full_record(n));
        if (!ticket || !complete_board(history, ticket, full_record(n))) {
            return 1;
        }
    }
    if (!begin_board(history, full_record(count))) {
        return 1;
    }
    QTextStream(stdout) << IN_PROGRESS << Qt::endl;
    return QCoreApplication::exec(); // until SIGKILL
}

int open_child(const QString &path)
{
    HistoryTarget target;
    QString error;
    parse_history_target(path, &target, &error);
    History history(target);
    error = open_error(history);
    QTextStream(stdout) << (error.isEmpty() ? "opened" : error) << Qt::endl;
    return error.isEmpty() ? 0 : 1;
}
} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    PgServer m_server;
    int m_made = 0;

    // A new, empty history of the backend.
    HistoryTarget fresh(const QString &backend)
    {
        const QString name = QString("h%1").arg(++m_made);
        QString text = m_dir.filePath(name + ".db");
        QString error;
        if (backend == POSTGRES) {
            text = m_server.create_database(name, &error);
            if (text.isEmpty()) {
                qWarning() << error;
            }
        }
        HistoryTarget target;
        parse_history_target(text, &target, &error);
        return target;
    }

    static void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << SQLITE;
        QTest::newRow("postgresql") << POSTGRES;
    }

    // Runs sql on the target, beside History, after making its schema up to version.
    static bool direct(const HistoryTarget &target, int version, const QString &sql)
    {
        QString error;
        bool ok = false;
        {
            QSqlDatabase db = open_history_connection(target, "direct", {}, true, &error);
            ok = error.isEmpty() && prepare_schema(db, target, &error, version) &&
                 (sql.isEmpty() || exec_sql(db, sql, &error));
        }
        QSqlDatabase::removeDatabase("direct");
        if (!ok) {
            qWarning() << error;
        }
        return ok;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable("the test's PostgreSQL server: " + error));
    }

    void open_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<int>("version"); // the schema before the open
        QTest::addColumn<QString>("refusal");
        for (const QString &backend : {SQLITE, POSTGRES}) {
            const QByteArray b = backend.toLatin1();
            QTest::newRow(b + " fresh") << backend << 0 << "";
            QTest::newRow(b + " first release") << backend << 1 << "";
            QTest::newRow(b + " current") << backend << 2 << "";
            QTest::newRow(b + " newer")
                << backend << 3 << "has schema version 3; this kt62-flash knows up to 2";
        }
    }

    void open()
    {
        QFETCH(QString, backend);
        QFETCH(int, version);
        QFETCH(QString, refusal);
        const HistoryTarget target = fresh(backend);
        // A board of the first release: an older history keeps its rows.
        const QString old_row = "INSERT INTO kt62_boards (started, station, port, image_file, "
                                "result, exit_code, message) VALUES ('2025-01-01T00:00:00.000Z', "
                                "'old', 'COM3', 'KT62_V01.00.00.00.bin', 'success', 0, 'done')";
        if (version > 0) {
            QVERIFY(direct(target, qMin(version, 2), version == 1 ? old_row : ""));
        }
        if (version > 2) {
            QVERIFY(direct(target, 2, "UPDATE kt62_schema SET version = 3"));
        }
        History history(target);
        const QString error = open_error(history);
        if (!refusal.isEmpty()) {
            QVERIFY2(error.contains(refusal) && error.contains(target.display()),
                     qPrintable(error));
            return;
        }
        QVERIFY2(error.isEmpty(), qPrintable(error));
        int now = 0;
        {
            QString ignored;
            QSqlDatabase check = open_history_connection(target, "check", {}, false, &ignored);
            QVERIFY(read_schema_version(check, &now, &ignored));
        }
        QSqlDatabase::removeDatabase("check");
        QCOMPARE(now, HISTORY_SCHEMA_VERSION);
        const QList<BoardRecord> kept = rows(target); // the probe row is gone
        QCOMPARE(kept.size(), version == 1 ? 1 : 0);
        if (version == 1) {
            QCOMPARE(kept.at(0).station, QString("old"));
            QCOMPARE(kept.at(0).message, QString("done"));
            QCOMPARE(kept.at(0).query_seconds, -1.0);
        }
    }

    void round_trip_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<BoardRecord>("record");
        for (const QString &backend : {SQLITE, POSTGRES}) {
            QTest::newRow(qPrintable(backend + " every column")) << backend << full_record(7);
            QTest::newRow(qPrintable(backend + " nulls")) << backend << null_record();
        }
    }

    void round_trip()
    {
        QFETCH(QString, backend);
        QFETCH(BoardRecord, record);
        const HistoryTarget target = fresh(backend);
        History history(target);
        QCOMPARE(open_error(history), QString());
        const quint64 ticket = begin_board(history, record);
        QVERIFY(ticket);
        QList<BoardRecord> written = rows(target);
        QCOMPARE(written.size(), 1);
        QCOMPARE(written.at(0).result, QString(BOARD_STARTED));
        QVERIFY(!written.at(0).ended.isValid());
        QCOMPARE(written.at(0).started, record.started);
        QVERIFY(complete_board(history, ticket, record));
        written = rows(target);
        QCOMPARE(written.size(), 1);
        BoardRecord expected = record;
        expected.id = written.at(0).id;
        QVERIFY(expected.id > 0);
        QCOMPARE(json(written.at(0)), json(expected));
        QCOMPARE(json(expected).size(), board_columns().size());
    }

    void killed_mid_board()
    {
        const HistoryTarget target = fresh(SQLITE);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {CHILD_STATION, target.path, QString::number(3)});
        QVERIFY(QTest::qWaitFor(
            [&child] { return child.canReadLine() || child.state() == QProcess::NotRunning; },
            LIMIT_MS));
        QCOMPARE(child.readLine().trimmed(), IN_PROGRESS.toUtf8());
        child.kill(); // SIGKILL: nothing of the child's own runs after it
        QVERIFY(child.waitForFinished(LIMIT_MS));
        const QList<BoardRecord> kept = rows(target);
        QCOMPARE(kept.size(), 4);
        for (int n = 0; n < 3; ++n) {
            BoardRecord expected = full_record(n);
            expected.id = kept.at(n).id;
            QCOMPARE(json(kept.at(n)), json(expected));
        }
        QCOMPARE(kept.at(3).result, QString(BOARD_STARTED));
        QCOMPARE(kept.at(3).started, full_record(3).started);
        QVERIFY(!kept.at(3).ended.isValid());
    }

    void read_only_refused()
    {
        QTemporaryDir folder;
        HistoryTarget target;
        target.path = folder.filePath("ro.db");
        {
            History history(target);
            QCOMPARE(open_error(history), QString());
            QVERIFY(complete_board(history, begin_board(history, full_record(0)), full_record(0)));
        }
        QString answer;
        if (geteuid() == 0) {
            // Root writes anything: the history is opened by an unprivileged user instead.
            QVERIFY(chmod(folder.path().toLocal8Bit(), 0755) == 0);
            QProcess child;
            child.start("runuser", {"-u", "nobody", "--", QCoreApplication::applicationFilePath(),
                                    CHILD_OPEN, target.path});
            QVERIFY(child.waitForFinished(LIMIT_MS));
            QCOMPARE(child.exitCode(), 1);
            answer = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        } else {
            QVERIFY(chmod(target.path.toLocal8Bit(), 0444) == 0);
            QVERIFY(chmod(folder.path().toLocal8Bit(), 0555) == 0);
            History history(target);
            answer = open_error(history);
            chmod(folder.path().toLocal8Bit(), 0755);
        }
        QVERIFY2(answer.startsWith("cannot ") && answer.contains(target.path), qPrintable(answer));
        QCOMPARE(rows(target).size(), 1);
    }

    void no_insert_right()
    {
        const HistoryTarget owned = fresh(POSTGRES);
        QVERIFY(direct(owned, HISTORY_SCHEMA_VERSION, ""));
        QString output;
        QVERIFY2(m_server.psql(owned.database,
                               "CREATE ROLE viewer_" + owned.database +
                                   " LOGIN; GRANT SELECT ON "
                                   "kt62_boards, kt62_schema TO viewer_" +
                                   owned.database,
                               &output),
                 qPrintable(output));
        HistoryTarget viewer = owned;
        viewer.user = "viewer_" + owned.database;
        History history(viewer);
        const QString error = open_error(history);
        QVERIFY2(error.startsWith("cannot write to the history " + viewer.display()) &&
                     error.contains("permission denied"),
                 qPrintable(error));
    }

    void full_disk()
    {
        const HistoryTarget target = fresh(SQLITE);
        History history(target);
        QCOMPARE(open_error(history), QString());
        const quint64 first = begin_board(history, full_record(1));
        const quint64 second = begin_board(history, full_record(2));
        QVERIFY(first && second);
        QSignalSpy failed(&history, &History::failed);
        // The journal may not grow by a byte from here: the next commit meets a full disk.
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit before = limit;
        limit.rlim_cur = QFileInfo(target.path + "-wal").size();
        const auto old_handler = signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        const bool first_saved = complete_board(history, first, full_record(1));
        const quint64 refused = begin_board(history, full_record(3));
        const bool second_saved = complete_board(history, second, full_record(2));
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, old_handler);

        QVERIFY(!first_saved && !refused && !second_saved);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(1).toString(), target.path + ".unsaved.jsonl");
        QVERIFY2(failed.at(0).at(0).toString().contains(target.path),
                 qPrintable(failed.at(0).at(0).toString()));
        const QList<BoardRecord> kept = rows(target);
        QCOMPARE(kept.size(), 2);
        QCOMPARE(kept.at(0).result, QString(BOARD_STARTED));
        QCOMPARE(kept.at(1).result, QString(BOARD_STARTED));
        const QList<QJsonObject> unsaved = json_lines(target.path + ".unsaved.jsonl");
        QCOMPARE(unsaved.size(), 2);
        for (int n = 0; n < 2; ++n) {
            BoardRecord expected = full_record(n + 1);
            expected.id = kept.at(n).id;
            QCOMPARE(unsaved.at(n), json(expected));
        }
    }

    void server_stopped()
    {
        const HistoryTarget target = fresh(POSTGRES);
        HistoryOptions options;
        options.fallback_path = m_dir.filePath("server.unsaved.jsonl");
        History history(target, options);
        QCOMPARE(open_error(history), QString());
        const quint64 first = begin_board(history, full_record(1));
        const quint64 second = begin_board(history, full_record(2));
        QVERIFY(first && second && complete_board(history, first, full_record(1)));
        QSignalSpy failed(&history, &History::failed);
        QString output;
        QVERIFY2(m_server.stop(&output), qPrintable(output));
        const bool saved = complete_board(history, second, full_record(2));
        const quint64 refused = begin_board(history, full_record(3));
        QVERIFY2(m_server.start(&output), qPrintable(output));

        QVERIFY(!saved && !refused);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(1).toString(), options.fallback_path);
        const QList<BoardRecord> kept = rows(target);
        QCOMPARE(kept.size(), 2);
        QCOMPARE(kept.at(0).result, QString("success"));
        QCOMPARE(kept.at(1).result, QString(BOARD_STARTED));
        BoardRecord expected = full_record(2);
        expected.id = kept.at(1).id;
        QCOMPARE(json_lines(options.fallback_path), QList<QJsonObject>{json(expected)});
    }

    void two_stations()
    {
        const HistoryTarget target = fresh(POSTGRES);
        constexpr int BOARDS = 40;
        History one(target);
        History two(target);
        QSignalSpy one_opened(&one, &History::opened);
        QSignalSpy two_opened(&two, &History::opened);
        one.open(); // both at once on a fresh database: one of them makes the schema
        two.open();
        QVERIFY(QTest::qWaitFor([&] { return one_opened.size() && two_opened.size(); }, LIMIT_MS));
        QVERIFY(one_opened.at(0).at(0).toBool() && two_opened.at(0).at(0).toBool());
        int done = 0;
        // Each station runs its boards one after another, as the answers come.
        for (History *station : {&one, &two}) {
            auto record = [station, &one](int n) {
                BoardRecord r = full_record(n);
                r.station = station == &one ? "one" : "two";
                return r;
            };
            connect(station, &History::begun, station, [station, record](quint64 ticket, bool ok) {
                if (ok) {
                    station->complete(ticket, record(int(ticket)));
                }
            });
            connect(station, &History::completed, station,
                    [station, record, &done](quint64 ticket, bool ok) {
                        done += ok;
                        if (ok && ticket < BOARDS) {
                            station->begin(record(int(ticket) + 1));
                        }
                    });
            station->begin(record(1));
        }
        QTRY_COMPARE_WITH_TIMEOUT(done, 2 * BOARDS, LIMIT_MS);
        const QList<BoardRecord> kept = rows(target, {QDateTime(), "success"});
        QCOMPARE(kept.size(), 2 * BOARDS);
        QSet<qint64> ids;
        int of_one = 0;
        for (const BoardRecord &r : kept) {
            ids << r.id;
            of_one += r.station == "one";
        }
        QCOMPARE(ids.size(), 2 * BOARDS);
        QCOMPARE(of_one, BOARDS);
    }

    void server_slow()
    {
        const HistoryTarget target = fresh(POSTGRES);
        HistoryOptions options;
        options.limits.statement_timeout_ms = 1000;
        options.fallback_path = m_dir.filePath("hang.unsaved.jsonl");
        History history(target, options);
        QCOMPARE(open_error(history), QString());
        const quint64 ticket = begin_board(history, full_record(1));
        QVERIFY(ticket);
        // The server's session holds a lock the completion waits for, longer than its limit.
        QProcess locker;
        locker.start(m_server.tool("psql"),
                     {"-h", target.host, "-U", target.user, "-d", target.database, "-c",
                      "BEGIN; LOCK TABLE kt62_boards; SELECT pg_sleep(60);"});
        QVERIFY(locker.waitForStarted(LIMIT_MS));
        QSignalSpy failed(&history, &History::failed);
        QSignalSpy completed(&history, &History::completed);
        QVERIFY(QTest::qWaitFor(
            [&] {
                QString out;
                return m_server.psql(target.database,
                                     "SELECT count(*) FROM pg_locks WHERE mode = "
                                     "'AccessExclusiveLock' AND relation = 'kt62_boards'::regclass",
                                     &out) &&
                       out.trimmed() == "1";
            },
            LIMIT_MS));
        QElapsedTimer clock;
        clock.start();
        history.complete(ticket, full_record(1));
        QVERIFY(completed.wait(LIMIT_MS));
        QVERIFY(!completed.at(0).at(1).toBool());
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(json_lines(options.fallback_path).size(), 1);
        QString out;
        QVERIFY(m_server.psql("postgres",
                              "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                              "query LIKE '%pg_sleep(60)%' AND pid <> pg_backend_pid()",
                              &out));
        QVERIFY(locker.waitForFinished(LIMIT_MS));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 4 && arguments.at(1) == CHILD_STATION) {
        return station_child(arguments.at(2), arguments.at(3).toInt());
    }
    if (arguments.size() == 3 && arguments.at(1) == CHILD_OPEN) {
        return open_child(arguments.at(2));
    }
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
