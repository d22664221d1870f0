// What the operator types for the history (its target, --since, --export) and what the export
// writes: CSV with its quoting and JSON Lines, filtered by start and result.
#include "history/history.h"
#include "history/history_export.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int LIMIT_MS = 60000;
// The boards' starts, in the order they were begun.
const QStringList STARTS = {"2026-12-06T23:59:59.999Z", "2026-12-07T00:00:00.000Z",
                            "2026-12-07T10:30:00.000Z", "2026-12-07T10:30:00.001Z",
                            "2026-12-08T08:00:00.000Z"};

BoardRecord board(const QString &started, const QString &result, const QString &message)
{
    BoardRecord r;
    r.started = history_time_from_text(started);
    r.ended = r.started.addSecs(20);
    r.station = "bench";
    r.port = "COM3";
    r.result = result;
    r.exit_code = result == "success" ? 0 : 1;
    r.message = message;
    r.transfer_seconds = 18.01;
    return r;
}

QByteArray exported(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    QString error;
    if (!export_history(target, filter, format, &out, &error)) {
        qWarning() << error;
    }
    return out.data();
}
} // namespace

class TestHistoryExport : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    HistoryTarget m_target;

private slots:
    void initTestCase()
    {
        // Five boards over three days, the last one still in progress.
        m_target.path = m_dir.filePath("export.db");
        History history(m_target);
        QSignalSpy opened(&history, &History::opened);
        QSignalSpy begun(&history, &History::begun);
        QSignalSpy completed(&history, &History::completed);
        history.open();
        QVERIFY(opened.wait(LIMIT_MS) && opened.at(0).at(0).toBool());
        const QList<BoardRecord> boards = {
            board(STARTS.at(0), "success", "plain"), board(STARTS.at(1), "device failure", "a, b"),
            board(STARTS.at(2), "success", "say \"hi\"\r\nagain"),
            board(STARTS.at(3), "success", ""), board(STARTS.at(4), "success", "running")};
        for (int n = 0; n < boards.size(); ++n) {
            const quint64 ticket = history.begin(boards.at(n));
            QTRY_COMPARE_WITH_TIMEOUT(begun.size(), n + 1, LIMIT_MS);
            if (n < boards.size() - 1) {
                history.complete(ticket, boards.at(n));
                QTRY_COMPARE_WITH_TIMEOUT(completed.size(), n + 1, LIMIT_MS);
            }
        }
    }

    void target_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // driver|user|password|host|port|database|options
        QTest::addColumn<QString>("error");  // a part of the refusal
        QTest::newRow("file") << "runs/history.db"
                              << "QSQLITE|||||runs/history.db|"
                              << "";
        QTest::newRow("file named like a URL") << "postgresql.db"
                                               << "QSQLITE|||||postgresql.db|"
                                               << "";
        QTest::newRow("server") << "postgresql://kt62@db.example:5433/line3"
                                << "QPSQL|kt62||db.example|5433|line3|"
                                << "";
        QTest::newRow("short scheme, no port") << "postgres://kt62@db/line3"
                                               << "QPSQL|kt62||db|-1|line3|"
                                               << "";
        QTest::newRow("password, encoded") << "postgresql://kt%4062:p%40ss%3Aw@h/d"
                                           << "QPSQL|kt@62|p@ss:w|h|-1|d|"
                                           << "";
        QTest::newRow("socket folder") << "postgresql://kt62@%2Fvar%2Frun%2Fpostgresql/line3"
                                       << "QPSQL|kt62||/var/run/postgresql|-1|line3|"
                                       << "";
        QTest::newRow("IPv6") << "postgresql://u@[::1]:5432/d"
                              << "QPSQL|u||::1|5432|d|"
                              << "";
        QTest::newRow("nothing but the scheme") << "postgresql://"
                                                << "QPSQL||||-1||"
                                                << "";
        QTest::newRow("options") << "postgresql://u@h/d?connect_timeout=3&sslmode=require"
                                 << "QPSQL|u||h|-1|d|connect_timeout=3 sslmode=require"
                                 << "";
        QTest::newRow("empty") << ""
                               << ""
                               << "the history target is empty";
        QTest::newRow("port not a number") << "postgresql://u@h:54x2/d"
                                           << ""
                                           << "\"54x2\"";
        QTest::newRow("port out of range") << "postgresql://u@h:65536/d"
                                           << ""
                                           << "1 to 65535";
        QTest::newRow("port missing") << "postgresql://u@h:/d"
                                      << ""
                                      << "the port \"\"";
        QTest::newRow("bad escape") << "postgresql://u@%2G/d"
                                    << ""
                                    << "percent-encoding in the host";
        QTest::newRow("unclosed bracket") << "postgresql://u@[::1/d"
                                          << ""
                                          << "unclosed";
        QTest::newRow("several hosts") << "postgresql://u@h1,h2/d"
                                       << ""
                                       << "several hosts";
        QTest::newRow("slash in database") << "postgresql://u@h/d/e"
                                           << ""
                                           << "holds a \"/\"";
        QTest::newRow("option without value") << "postgresql://u@h/d?sslmode"
                                              << ""
                                              << "key=value";
        QTest::newRow("option with a space") << "postgresql://u@h/d?application_name=a%20b"
                                             << ""
                                             << "application_name";
    }

    void target()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        QFETCH(QString, error);
        HistoryTarget t;
        QString why;
        const bool ok = parse_history_target(text, &t, &why);
        QCOMPARE(ok, error.isEmpty());
        if (!ok) {
            QVERIFY2(why.contains(error) && !why.contains('\n'), qPrintable(why));
            return;
        }
        const QString port = t.kind == HistoryTarget::Kind::Sqlite ? "" : QString::number(t.port);
        const QStringList fields = {t.driver(),
                                    t.user,
                                    t.password,
                                    t.host,
                                    port,
                                    t.kind == HistoryTarget::Kind::Sqlite ? t.path : t.database,
                                    t.options.join(' ')};
        QCOMPARE(fields.join('|'), parsed);
        QVERIFY(!t.display().contains(t.password.isEmpty() ? "\x01" : t.password));
    }

    void since_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("since"); // empty: refused
        QTest::newRow("date") << "2026-12-07"
                              << "2026-12-07T00:00:00.000Z";
        QTest::newRow("date and time") << "2026-12-07T10:30"
                                       << "2026-12-07T10:30:00.000Z";
        QTest::newRow("with a space and seconds") << "2026-12-07 10:30:15"
                                                  << "2026-12-07T10:30:15.000Z";
        QTest::newRow("Z") << "2026-12-07T10:30:15.5Z"
                           << "2026-12-07T10:30:15.500Z";
        QTest::newRow("no such day") << "2026-02-30"
                                     << "";
        QTest::newRow("an offset") << "2026-12-07T10:30+02:00"
                                   << "";
        QTest::newRow("words") << "yesterday"
                               << "";
    }

    void since()
    {
        QFETCH(QString, text);
        QFETCH(QString, since);
        QDateTime parsed;
        QString error;
        QCOMPARE(parse_since(text, &parsed, &error), !since.isEmpty());
        QCOMPARE(since.isEmpty() ? error.contains(text) : history_time_text(parsed) == since, true);
    }

    void csv_quoting_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("plain") << "plain" << QByteArray(",plain,");
        QTest::newRow("comma") << "a, b" << QByteArray(",\"a, b\",");
        QTest::newRow("quotes and a line end")
            << "say \"hi\"\r\nagain" << QByteArray(",\"say \"\"hi\"\"\r\nagain\",");
        QTest::newRow("empty is NULL") << "" << QByteArray(",,");
    }

    void csv_quoting()
    {
        QFETCH(QString, message);
        QFETCH(QByteArray, field);
        const QByteArray csv = exported(m_target, {}, ExportFormat::Csv);
        QVERIFY(csv.startsWith(board_columns().join(',').toUtf8() + "\r\n"));
        // Each board's line: its message sits between its exit code and its attempts.
        const QByteArray code = message == "a, b" ? "1" : "0";
        const QByteArray line_part = "," + code + field + "0,";
        QVERIFY2(csv.contains(line_part), csv.constData());
        QCOMPARE(csv.count("\r\n"), 1 + 5 + 1); // the header, five rows, one line end in a field
        QVERIFY(csv.endsWith("\r\n") && !csv.contains("\n\n"));
        QCOMPARE(csv.count(",18.01,\r\n"), 5); // seconds as short as they go, NULL as nothing
    }

    void filters_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QList<int>>("boards"); // by the order they were begun
        QTest::newRow("all") << ""
                             << "" << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("since a day") << "2026-12-07"
                                     << "" << QList<int>{1, 2, 3, 4};
        QTest::newRow("since a time") << "2026-12-07T10:30"
                                      << "" << QList<int>{2, 3, 4};
        QTest::newRow("result") << ""
                                << "success" << QList<int>{0, 2, 3};
        QTest::newRow("still in progress") << ""
                                           << "started" << QList<int>{4};
        QTest::newRow("both") << "2026-12-07 10:30"
                              << "success" << QList<int>{2, 3};
        QTest::newRow("none") << "2027-01-01"
                              << "" << QList<int>{};
    }

    void filters()
    {
        QFETCH(QString, since);
        QFETCH(QString, result);
        QFETCH(QList<int>, boards);
        HistoryFilter filter;
        QString error;
        QVERIFY(since.isEmpty() || parse_since(since, &filter.since, &error));
        filter.result = result;
        const QByteArray json = exported(m_target, filter, ExportFormat::JsonLines);
        const QList<QByteArray> lines = json.split('\n');
        QCOMPARE(lines.size(), boards.size() + 1); // the last line end leaves an empty piece
        QList<int> found;
        qint64 last_id = 0;
        for (const QByteArray &line : lines.mid(0, boards.size())) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            QCOMPARE(row.size(), board_columns().size());
            QVERIFY(row.value("id").toInt() > last_id); // in the order of the ids
            last_id = row.value("id").toInt();
            found << STARTS.indexOf(row.value("started").toString());
            QVERIFY(row.value("query_seconds").isNull());
            QCOMPARE(row.value("ended").isNull(), found.last() == 4);
            QCOMPARE(row.value("transfer_seconds").toDouble(), 18.01);
        }
        QCOMPARE(found, boards);
        QCOMPARE(exported(m_target, filter, ExportFormat::Csv).count("\r\n"),
                 1 + boards.size() + boards.contains(2));
    }

    void missing_file()
    {
        HistoryTarget nowhere;
        nowhere.path = m_dir.filePath("none.db");
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        QVERIFY(!export_history(nowhere, {}, ExportFormat::Csv, &out, &error));
        QVERIFY2(error.contains(nowhere.path), qPrintable(error));
        QVERIFY(!QFile::exists(nowhere.path));
    }
};

QTEST_GUILESS_MAIN(TestHistoryExport)
#include "tst_history_export.moc"
