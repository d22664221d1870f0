// The history's target and --since as typed, and the export: CSV and JSON Lines, filtered.
#include "history/history.h"
#include "history/history_export.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int LIMIT_MS = 60000;
// The boards in the order they were begun, the last still running: start, result, message, and
// the CSV fields from the exit code to the attempts (a field with a comma, a quote or a line end
// quoted, its quotes doubled; NULL as nothing).
struct Board
{
    QString started, result, message;
    QByteArray csv;
};
const QList<Board> BOARDS = {
    {"2026-12-06T23:59:59.999Z", "success", "plain", ",0,plain,2,"},
    {"2026-12-07T00:00:00.000Z", "device failure", "a, b", ",1,\"a, b\",2,"},
    {"2026-12-07T10:30:00.000Z", "success", "say \"hi\"\r\nagain",
     ",0,\"say \"\"hi\"\"\r\nagain\",2,"},
    {"2026-12-07T10:30:00.001Z", "success", "", ",0,,2,"},
    {"2026-12-08T08:00:00.000Z", "success", "running", ",,running,2,"}};

// What the export wrote; empty when it failed, with error saying why.
QByteArray exported(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format,
                    QString *error)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    return export_history(target, filter, format, &out, error) ? out.data() : QByteArray();
}
} // namespace

class TestHistoryExport : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    HistoryTarget m_target;

private slots:
    void initTestCase()
    {
        m_target.path = m_dir.filePath("export.db");
        History history(m_target);
        QSignalSpy opened(&history, &History::opened), begun(&history, &History::begun),
            completed(&history, &History::completed);
        history.open();
        QVERIFY(opened.wait(LIMIT_MS) && opened[0][0].toBool());
        for (int n = 0; n < BOARDS.size(); ++n) {
            BoardRecord r;
            r.started = history_time_from_text(BOARDS[n].started);
            r.ended = r.started.addSecs(20);
            r.station = "bench", r.result = BOARDS[n].result, r.message = BOARDS[n].message;
            r.exit_code = r.result == "success" ? 0 : 1, r.attempts = 2, r.transfer_seconds = 18.01;
            const quint64 ticket = history.begin(r);
            QTRY_COMPARE_WITH_TIMEOUT(begun.size(), n + 1, LIMIT_MS);
            if (n < BOARDS.size() - 1) {
                history.complete(ticket, r);
                QTRY_COMPARE_WITH_TIMEOUT(completed.size(), n + 1, LIMIT_MS);
            }
        }
    }

    void target_data()
    {
        QTest::addColumn<QString>("text");
        // driver, user, password, host, port, database (or file), options
        QTest::addColumn<QStringList>("parsed");
        QTest::addColumn<QString>("error"); // a part of the refusal
        const auto row = [](const char *text, const QStringList &parsed, const char *error = "") {
            QTest::newRow(text) << text << parsed << error;
        };
        row("runs/history.db", {"QSQLITE", "", "", "", "-1", "runs/history.db", ""});
        row("postgresql.db", {"QSQLITE", "", "", "", "-1", "postgresql.db", ""});
        row("postgresql://kt62@db.example:5433/line3",
            {"QPSQL", "kt62", "", "db.example", "5433", "line3", ""});
        row("postgres://kt62@db/line3", {"QPSQL", "kt62", "", "db", "-1", "line3", ""});
        row("postgresql://kt%4062:p%40ss%3Aw@h/d",
            {"QPSQL", "kt@62", "p@ss:w", "h", "-1", "d", ""});
        row("postgresql://kt62@%2Fvar%2Frun%2Fpostgresql/line3",
            {"QPSQL", "kt62", "", "/var/run/postgresql", "-1", "line3", ""});
        row("postgresql://u@[::1]:5432/d", {"QPSQL", "u", "", "::1", "5432", "d", ""});
        row("postgresql://u@h/d?connect_timeout=3&sslmode=require",
            {"QPSQL", "u", "", "h", "-1", "d", "connect_timeout=3 sslmode=require"});
        row("", {}, "the history target is empty");
        row("postgresql://u@h:54x2/d", {}, "\"54x2\"");
        row("postgresql://u@h:65536/d", {}, "1 to 65535");
        row("postgresql://u@%2G/d", {}, "percent-encoding in the host");
        row("postgresql://u@[::1/d", {}, "unclosed");
        row("postgresql://u@h1,h2/d", {}, "several hosts");
        row("postgresql://u@h/d/e", {}, "holds a \"/\"");
        row("postgresql://u@h/d?sslmode", {}, "key=value");
        row("postgresql://u@h/d?application_name=a%20b", {}, "application_name");
    }
    void target()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        HistoryTarget t;
        QString why;
        QCOMPARE(parse_history_target(text, &t, &why), error.isEmpty());
        QVERIFY2(why.contains(error) && !why.contains('\n'), qPrintable(why));
        if (error.isEmpty()) {
            QTEST((QStringList{t.driver(), t.user, t.password, t.host, QString::number(t.port),
                               t.kind == HistoryTarget::Kind::Sqlite ? t.path : t.database,
                               t.options.join(' ')}),
                  "parsed");
            const QString shown = t.display();
            QVERIFY2(!shown.contains("p@ss") && !shown.contains("p%40ss"), qPrintable(shown));
        }
    }

    void since_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("since"); // empty: refused, naming the text
        const auto row = [](const char *tag, const char *text, const char *since) {
            QTest::newRow(tag) << text << since;
        };
        row("date", "2026-12-07", "2026-12-07T00:00:00.000Z");
        row("date and time", "2026-12-07T10:30", "2026-12-07T10:30:00.000Z");
        row("a space, seconds", "2026-12-07 10:30:15", "2026-12-07T10:30:15.000Z");
        row("Z", "2026-12-07T10:30:15.5Z", "2026-12-07T10:30:15.500Z");
        row("no such day", "2026-02-30", "");
        row("an offset", "2026-12-07T10:30+02:00", "");
        row("words", "yesterday", "");
    }
    void since()
    {
        QFETCH(QString, text);
        QFETCH(QString, since);
        QDateTime parsed;
        QString error;
        QCOMPARE(parse_since(text, &parsed, &error), !since.isEmpty());
        QTEST(parsed.isValid() ? history_time_text(parsed) : QString(), "since");
        QCOMPARE(error.contains(text), since.isEmpty());
    }

    // Both formats hold the boards the filters let through, in the order of their ids. CSV as
    // RFC 4180 has it: the column names first, CRLF line ends; seconds as short as they go.
    void filters_data()
    {
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QList<int>>("boards"); // in the order they were begun
        const auto row = [](const char *tag, const char *since, const char *result,
                            QList<int> boards) { QTest::newRow(tag) << since << result << boards; };
        row("all", "", "", {0, 1, 2, 3, 4});
        row("since a day", "2026-12-07", "", {1, 2, 3, 4});
        row("since a time", "2026-12-07T10:30", "", {2, 3, 4});
        row("result", "", "success", {0, 2, 3});
        row("still in progress", "", "started", {4});
        row("both", "2026-12-07 10:30", "success", {2, 3});
        row("none", "2027-01-01", "", {});
    }
    void filters()
    {
        QFETCH(QString, since);
        QFETCH(QList<int>, boards);
        HistoryFilter filter;
        QString error;
        QVERIFY(since.isEmpty() || parse_since(since, &filter.since, &error));
        QFETCH(QString, result);
        filter.result = result;
        QList<QByteArray> lines =
            exported(m_target, filter, ExportFormat::JsonLines, &error).split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // after the last line end
        QCOMPARE(lines.size(), boards.size());
        for (int n = 0; n < lines.size(); ++n) {
            const QJsonObject row = QJsonDocument::fromJson(lines[n]).object();
            QCOMPARE(row.size(), board_columns().size());
            QCOMPARE(row["started"].toString(), BOARDS[boards[n]].started);
            QCOMPARE(row["message"].toString(), BOARDS[boards[n]].message);
            QCOMPARE(row["ended"].isNull(), boards[n] == 4);
            QVERIFY(row["query_seconds"].isNull());
            QCOMPARE(row["transfer_seconds"].toDouble(), 18.01);
        }
        const QByteArray csv = exported(m_target, filter, ExportFormat::Csv, &error);
        QVERIFY(csv.startsWith(board_columns().join(',').toUtf8() + "\r\n"));
        QVERIFY(csv.endsWith("\r\n") && !csv.contains("\n\n"));
        QCOMPARE(csv.count("\r\n"), 1 + boards.size() + boards.contains(2)); // one in a field
        QCOMPARE(csv.count(",18.01,\r\n"), boards.size());
        for (const int n : boards) {
            QVERIFY2(csv.contains(BOARDS[n].csv), BOARDS[n].csv.constData());
        }
    }

    void missing_file()
    {
        HistoryTarget nowhere;
        nowhere.path = m_dir.filePath("none.db");
        QString error;
        QCOMPARE(exported(nowhere, {}, ExportFormat::Csv, &error), QByteArray());
        QVERIFY2(error.contains(nowhere.path), qPrintable(error));
        QVERIFY(!QFile::exists(nowhere.path));
    }
};

QTEST_GUILESS_MAIN(TestHistoryExport)
#include "tst_history_export.moc"
