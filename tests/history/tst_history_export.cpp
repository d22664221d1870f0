// The history's target and --since as typed, and the export: CSV and JSON Lines, filtered.
#include "history/history.h"
#include "history/history_export.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr int LIMIT_MS = 60000;
// The boards in the order they were begun: start, result and message; the last still runs.
const QStringList STARTS = {"2026-12-06T23:59:59.999Z", "2026-12-07T00:00:00.000Z",
                            "2026-12-07T10:30:00.000Z", "2026-12-07T10:30:00.001Z",
                            "2026-12-08T08:00:00.000Z"};
const QStringList RESULTS = {"success", "device failure", "success", "success", "success"};
const QStringList MESSAGES = {"plain", "a, b", "say \"hi\"\r\nagain", "", "running"};

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
        for (int n = 0; n < STARTS.size(); ++n) {
            BoardRecord r;
            r.started = history_time_from_text(STARTS[n]);
            r.ended = r.started.addSecs(20);
            r.station = "bench";
            r.result = RESULTS[n];
            r.exit_code = n == 1 ? 1 : 0;
            r.message = MESSAGES[n];
            r.attempts = 2;
            r.transfer_seconds = 18.01;
            const quint64 ticket = history.begin(r);
            QTRY_COMPARE_WITH_TIMEOUT(begun.size(), n + 1, LIMIT_MS);
            if (n < STARTS.size() - 1) {
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
            const bool file = t.kind == HistoryTarget::Kind::Sqlite;
            QTEST((QStringList{t.driver(), t.user, t.password, t.host, QString::number(t.port),
                               file ? t.path : t.database, t.options.join(' ')}),
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

    // RFC 4180: the column names first, CRLF line ends; a field with a comma, a quote or a line
    // end quoted, its quotes doubled; NULL as nothing; seconds as short as they go.
    void csv_data()
    {
        QTest::addColumn<int>("board");
        QTest::addColumn<QByteArray>("field"); // its message, between its exit code and attempts
        QTest::newRow("plain") << 0 << QByteArray("plain");
        QTest::newRow("comma") << 1 << QByteArray("\"a, b\"");
        QTest::newRow("quotes and a line end") << 2 << QByteArray("\"say \"\"hi\"\"\r\nagain\"");
        QTest::newRow("empty is NULL") << 3 << QByteArray();
    }
    void csv()
    {
        QFETCH(int, board);
        QFETCH(QByteArray, field);
        const QByteArray csv = exported(m_target, {}, ExportFormat::Csv);
        QVERIFY(csv.startsWith(board_columns().join(',').toUtf8() + "\r\n"));
        const QByteArray code = board == 1 ? "1" : "0";
        QVERIFY2(csv.contains("," + code + "," + field + ",2,"), csv.constData());
        QCOMPARE(csv.count("\r\n"), 1 + 5 + 1); // the header, five rows, one line end in a field
        QVERIFY(csv.endsWith("\r\n") && !csv.contains("\n\n"));
        QCOMPARE(csv.count(",18.01,\r\n"), 5);
    }

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
        if (!since.isEmpty()) {
            QVERIFY(parse_since(since, &filter.since, &error));
        }
        QFETCH(QString, result);
        filter.result = result;
        QList<QByteArray> lines = exported(m_target, filter, ExportFormat::JsonLines).split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // after the last line end
        QList<int> found;
        for (const QByteArray &line : lines) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            QCOMPARE(row.size(), board_columns().size());
            found << STARTS.indexOf(row["started"].toString());
            QCOMPARE(row["message"].toString(), MESSAGES.value(found.last()));
            QCOMPARE(row["ended"].isNull(), found.last() == 4);
            QVERIFY(row["query_seconds"].isNull());
            QCOMPARE(row["transfer_seconds"].toDouble(), 18.01);
        }
        QCOMPARE(found, boards); // in the order of their ids
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
