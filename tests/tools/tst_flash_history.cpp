// kt62-flash --history end to end, on SQLite files and a PostgreSQL server the test starts itself.
#include "firmware/firmware_image.h"
#include "tests/support/pgserver.h"
#include "tests/tools/flash_run.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {
// The history's rows as kt62-flash --export json prints them, in the order of their ids.
QList<QJsonObject> rows(const QString &target)
{
    const Run exported({"--history", target, "--export", "json"});
    QList<QJsonObject> rows;
    for (const QString &line : exported.out.split('\n', Qt::SkipEmptyParts)) {
        rows << QJsonDocument::fromJson(line.toUtf8()).object();
    }
    return rows;
}

// "port result exit_code station" of each row, sorted: what a board left behind.
QStringList outcomes(const QList<QJsonObject> &rows)
{
    QStringList outcomes;
    for (const QJsonObject &row : rows) {
        outcomes << QString("%1 %2 %3 %4")
                        .arg(QFileInfo(row["port"].toString()).fileName(), row["result"].toString())
                        .arg(row["exit_code"].isNull() ? "-"
                                                       : QString::number(row["exit_code"].toInt()))
                        .arg(row["station"].toString());
    }
    outcomes.sort();
    return outcomes;
}
} // namespace

class TestFlashHistory : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCOMPARE(::chmod(qPrintable(m_dir.path()), 0755), 0); // readable for another user too
        QVERIFY(write_file(m_dir.filePath("KT62_01.02.03.04.bin"), QByteArray(5000, 'k')));
        QVERIFY(encrypt_firmware_file(m_dir.filePath("KT62_01.02.03.04.bin"), m_good).status ==
                EncryptStatus::Ok);
        QCOMPARE(m_server.start(), QString());
        QCOMPARE(m_server.psql("postgres", "CREATE DATABASE line"), QString());
    }

    void stationRecordsEachBoard()
    {
        const QTemporaryDir here;
        const QString db = here.filePath("h.db"), a = here.filePath("a"), b = here.filePath("b");
        Sim good({"--once"}, a), failing({"--once", "--fail-result"}, b);
        Tool flash({"--station", "--port", a, "--port", b, "--history", db, "--station-name", "L3",
                    m_good});
        QVERIFY(QTest::qWaitFor([&] { return flash.err.count(": board 1: ") == 2; }, LIMIT_MS));
        // The next board on a is killed with its station in the middle of the erase.
        QCOMPARE(good.code(), 0);
        Sim slow({"--once", "--erase-ms", "60000"}, a);
        QVERIFY(slow.hears("erase"));
        flash.process.kill();
        QVERIFY(flash.process.waitForFinished());
        const QList<QJsonObject> left = rows(db);
        QCOMPARE(outcomes(left),
                 (QStringList{"a started - L3", "a success 0 L3", "b device failure 1 L3"}));
        const QByteArray sha =
            QCryptographicHash::hash(read_file(m_good), QCryptographicHash::Sha256);
        for (const QJsonObject &row : left) {
            QCOMPARE(row["image_sha256"].toString(), QString::fromLatin1(sha.toHex()));
            QCOMPARE(row["ended"].isNull(), row["result"] == "started");
        }
        QCOMPARE(left.first()["version_before"].toString(), QString("01.00.00.00"));
    }

    void refused_data()
    {
        QTest::addColumn<QString>("history"); // in the test's folder
        QTest::addColumn<bool>("asNobody");
        QTest::addColumn<QString>("said");
        QTest::newRow("newer schema") << "newer.db" << false << "schema version 99";
        QTest::newRow("read-only for its user") << "root-only/h.db" << true << "h.db";
        // SQLite would write its pages to whatever it is given, or wait on a FIFO for ever.
        QTest::newRow("the board's port, --port and --history swapped")
            << "tty" << false << "not a regular file (a device)";
        QTest::newRow("a FIFO") << "fifo" << false << "not a regular file (a FIFO)";
    }
    void refused()
    {
        QFETCH(QString, history);
        QFETCH(bool, asNobody);
        QFETCH(QString, said);
        const QTemporaryDir here;
        QCOMPARE(::chmod(qPrintable(here.path()), 0755), 0);
        QVERIFY(QDir(here.path()).mkdir("root-only"));
        QCOMPARE(::mkfifo(qPrintable(here.filePath("fifo")), 0600), 0);
        {
            QSqlDatabase newer = QSqlDatabase::addDatabase("QSQLITE", "newer");
            newer.setDatabaseName(here.filePath("newer.db"));
            QVERIFY(newer.open() &&
                    QSqlQuery(newer).exec("CREATE TABLE kt62_schema AS SELECT 99 AS version"));
        }
        QSqlDatabase::removeDatabase("newer");
        Sim board({"--once"}, here.filePath("tty"));
        QVERIFY(board.ready());
        const QStringList run{"--port", board.link, "--history", here.filePath(history), m_good};
        const Run flash =
            asNobody ? Run(QStringList{"-u", "nobody", "--", Tool::built("flash/kt62-flash")} + run,
                           QString(), "/usr/sbin/runuser")
                     : Run(run);
        QCOMPARE(flash.code, 2);
        QVERIFY2(flash.err.contains(said), qPrintable(flash.err));
        QVERIFY2(board.events().isEmpty(), qPrintable(board.out)); // nothing was sent
    }

    // Two stations on one database; the server goes while the second one's board is erased.
    void serverGoneMidStation()
    {
        const QTemporaryDir here;
        qputenv("XDG_DATA_HOME", here.filePath("data").toLocal8Bit()); // the fallback file's home
        const QString db = m_server.url("line"), one = here.filePath("S1"),
                      two = here.filePath("S2");
        Sim quick({"--once"}, one), slow({"--once", "--erase-ms", "6000"}, two);
        Tool s1({"--station", "--port", one, "--station-name", "S1", "--history", db, m_good}),
            s2({"--station", "--port", two, "--station-name", "S2", "--history", db, m_good});
        QVERIFY(QTest::qWaitFor([&] { return s1.err.contains(": board 1: "); }, LIMIT_MS));
        QCOMPARE(::kill(s1.process.processId(), SIGINT), 0);
        QCOMPARE(s1.code(), 0);
        QVERIFY(slow.hears("erase"));
        QCOMPARE(m_server.stop(), QString());
        QCOMPARE(s2.code(), 6);   // it ends by itself once the board is done
        QCOMPARE(slow.code(), 0); // which got its image
        const QString fallback = here.filePath("data/kt62-flash/history-unsaved.jsonl");
        QVERIFY2(s2.err.contains("kept in " + fallback), qPrintable(s2.err));
        QCOMPARE(QJsonDocument::fromJson(read_file(fallback))["result"].toString(),
                 QString("success"));
        QCOMPARE(m_server.resume(), QString());
        QCOMPARE(outcomes(rows(db)), (QStringList{"S1 success 0 S1", "S2 started - S2"}));
    }

private:
    QTemporaryDir m_dir;
    QString m_good = m_dir.filePath("KT62_V01.02.03.04.bin");
    PgServer m_server;
};

QTEST_GUILESS_MAIN(TestFlashHistory)
#include "tst_flash_history.moc"
