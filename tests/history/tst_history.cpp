// The board history on SQLite files and on a PostgreSQL server the test starts itself.
#include "history/history.h"
#include "history/history_export.h"
#include "tests/support/pgserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
constexpr int LIMIT_MS = 60000;         // a loaded machine is slow, never this slow
constexpr int STATEMENT_MS = 500;       // a history's own limit on one statement
constexpr int SQLITE = 0, POSTGRES = 1; // backends

BoardRecord full_record(int n) // every column holds a value
{
    BoardRecord r;
    r.started = QDateTime(QDate(2026, 12, 7), QTime(10, 11, 12, 345), Qt::UTC).addSecs(n);
    r.ended = r.started.addMSecs(19262);
    r.station = "line 3, fixture \"A\"", r.device_model = "KT62", r.result = "success";
    r.port = r.usb_identity = "usb:0403:6001:A50285BI";
    r.system_port = "/dev/ttyUSB" + QString::number(n);
    r.version_before = "01.00.00.00", r.target_version = "01.02.03.04";
    r.image_file = "KT62_V01.02.03.04.bin", r.image_sha256 = QString(64, 'a');
    r.exit_code = 0, r.message = "Upgrade finished!\nline two, 中文";
    r.attempts = 2, r.blocks_sent = 203 + n, r.blocks_acknowledged = 201, r.repeats = 2, r.naks = 3;
    r.query_seconds = 1.051, r.erase_seconds = 0.2, r.transfer_seconds = 18.01;
    r.completion_seconds = 0.001;
    return r;
}

// The rows as another connection reads them: only what was committed.
QList<QJsonObject> rows(const HistoryTarget &target)
{
    QList<QJsonObject> rows;
    QString error;
    read_history(
        target, {}, [&rows](const BoardRecord &r) { return rows << board_to_json(r), true; },
        &error);
    return rows;
}
// The record as its row reads back (with the id as read): as begun (no end, no exit code) or whole.
QJsonObject row_of(BoardRecord record, const QJsonObject &read, bool begun = false)
{
    record.id = qint64(read["id"].toDouble());
    if (begun) {
        record.result = BOARD_STARTED, record.exit_code = -1, record.ended = QDateTime();
    }
    return board_to_json(record);
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
        QString error =
            backend == SQLITE ? "" : m_server.psql("postgres", "CREATE DATABASE " + name);
        HistoryTarget target;
        parse_history_target(backend == SQLITE ? m_dir.filePath(name + ".db") : m_server.url(name),
                             &target, &error);
        return error.isEmpty() ? target : (qWarning() << error, target);
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
        QCOMPARE(m_server.start(), QString()); // the test's own PostgreSQL server
        QCOMPARE(m_server.psql("postgres", "CREATE ROLE reader LOGIN"), QString());
    }

    // A history of the first release keeps its board and gains the new columns (NULL); one of
    // a newer schema, or one its user may only read, is refused at the open.
    // Every column of a board reads back, begun and then completed.
    void open_data()
    {
        QTest::addColumn<int>("backend");
        QTest::addColumn<int>("version"); // the schema sql runs on before the open
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("user"); // empty: the owner
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char *tag, int backend, int version, const char *sql,
                            const char *user, const char *refusal) {
            QTest::newRow(tag) << backend << version << QString(sql) << QString(user) << refusal;
        };
        row("postgresql, first release", POSTGRES, 1, "SELECT 1", "", "");
        row("sqlite, newer", SQLITE, 2, "UPDATE kt62_schema SET version = 3", "",
            "the history %1 has schema version 3; this kt62-flash knows up to 2");
        row("postgresql, read only", POSTGRES, 2,
            "GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader", "reader",
            "cannot write to the history %1: ");
    }
    void open()
    {
        QFETCH(int, version);
        QFETCH(QString, sql);
        QFETCH(QString, user);
        QFETCH(QString, refusal);
        QFETCH(int, backend);
        HistoryTarget target = fresh(backend);
        QVERIFY(direct(target, 1,
                       "INSERT INTO kt62_boards (started, station, result) VALUES "
                       "('2025-01-01T00:00:00.000Z', 'old', 'success')"));
        QVERIFY(direct(target, version, sql));
        target.user = user.isEmpty() ? target.user : user;
        History history(target);
        const QString error = open_error(history);
        if (!refusal.isEmpty()) {
            QVERIFY2(error.startsWith(refusal.arg(target.display())), qPrintable(error));
            return;
        }
        QCOMPARE(error, QString());
        BoardRecord old; // as the first release wrote it
        old.started = QDateTime(QDate(2025, 1, 1), QTime(0, 0), Qt::UTC);
        old.station = "old", old.result = "success";
        const quint64 ticket = begin_board(history, full_record(7));
        const QList<QJsonObject> begun = rows(target);
        QCOMPARE(begun, (QList<QJsonObject>{row_of(old, begun.value(0)),
                                            row_of(full_record(7), begun.value(1), true)}));
        QVERIFY(complete_board(history, ticket, full_record(7)));
        QCOMPARE(rows(target).last(), row_of(full_record(7), begun.value(1)));
    }

    // A write that fails mid-run fails the history once: no new board is begun, and the
    // completions of the boards in progress go to the fallback file, one JSON object a line.
    void fails_midway_data()
    {
        QTest::addColumn<bool>("fullDisk"); // else locked past the limit
        QTest::newRow("full disk") << true;
        QTest::newRow("locked past the limit") << false;
    }
    void fails_midway()
    {
        QFETCH(bool, fullDisk);
        const HistoryTarget target = fresh(SQLITE);
        HistoryOptions options;
        options.fallback_path = m_dir.filePath(QString("fallback%1.jsonl").arg(m_made));
        options.limits.statement_timeout_ms = STATEMENT_MS;
        History history(target, options);
        QCOMPARE(open_error(history), QString());
        const quint64 first = begin_board(history, full_record(1)),
                      second = begin_board(history, full_record(2));
        QVERIFY(first && second);
        QVERIFY(QFileInfo::exists(target.path + "-wal")); // readers never block the writers
        QSignalSpy failed(&history, &History::failed);
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit before = limit;
        const auto handler = signal(SIGXFSZ, SIG_IGN);
        QString error;
        QSqlDatabase other = open_history_connection(target, "other", {}, true, &error);
        if (fullDisk) {
            // The journal may not grow by a byte from here: the next commit meets a full disk.
            limit.rlim_cur = QFileInfo(target.path + "-wal").size();
            QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        } else {
            QVERIFY2(exec_sql(other, "BEGIN EXCLUSIVE", &error), qPrintable(error));
        }
        QElapsedTimer waited;
        waited.start();
        const bool saved = complete_board(history, second, full_record(2));
        const qint64 waited_ms = waited.elapsed();
        const quint64 refused = begin_board(history, full_record(3));
        const bool saved_after = complete_board(history, first, full_record(1));
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, handler);
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase("other");

        QVERIFY(!saved && !refused && !saved_after);
        QVERIFY2(waited_ms < 10 * STATEMENT_MS, qPrintable(QString::number(waited_ms)));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][1].toString(), options.fallback_path);
        QVERIFY2(failed[0][0].toString().contains(target.display()),
                 qPrintable(failed[0][0].toString()));
        const QList<QJsonObject> kept = rows(target);
        QCOMPARE(kept, (QList<QJsonObject>{row_of(full_record(1), kept.value(0), true),
                                           row_of(full_record(2), kept.value(1), true)}));
        const auto line = [&kept](int n) { // the board's whole row, one JSON object a line
            const QJsonObject row = row_of(full_record(n), kept.value(n - 1));
            return QJsonDocument(row).toJson(QJsonDocument::Compact) + '\n';
        };
        QFile fallback(options.fallback_path);
        QCOMPARE(fallback.open(QIODevice::ReadOnly) ? fallback.readAll() : QByteArray(),
                 line(2) + line(1));
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
