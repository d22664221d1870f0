#ifndef KT62_TEST_PGSERVER_H
#define KT62_TEST_PGSERVER_H

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <pwd.h>
#include <unistd.h>

// A PostgreSQL server of the test's own: a fresh cluster in a temporary folder, listening only
// on a Unix socket there, so it meets no other server and needs no free port. Run as the user
// postgres when the test runs as root (the server refuses root).
constexpr int PG_LIMIT_MS = 60000;

struct PgServer
{
    QTemporaryDir folder;
    QString bin; // of initdb, pg_ctl and psql

    ~PgServer() { stop(); }
    // The tool's output, empty when it succeeded.
    QString run(const QString &tool, QStringList arguments) const
    {
        QString program = bin + '/' + tool;
        if (geteuid() == 0) {
            arguments = QStringList{"-u", "postgres", "--", program} + arguments;
            program = "runuser";
        }
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(folder.path());
        process.start(program, arguments);
        const bool ok = process.waitForFinished(PG_LIMIT_MS) &&
                        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        return ok ? QString()
                  : tool + ": " + QString::fromLocal8Bit(process.readAll()) + process.errorString();
    }
    QString start()
    {
        // Debian keeps the tools per major version (two digits: by name, newest first); else PATH.
        QStringList debian;
        const QDir versions("/usr/lib/postgresql");
        for (const QFileInfo &version : versions.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            debian.prepend(version.filePath() + "/bin");
        }
        const QString initdb = QStandardPaths::findExecutable("initdb", debian);
        bin = QFileInfo(initdb.isEmpty() ? QStandardPaths::findExecutable("initdb") : initdb)
                  .absolutePath();
        const passwd *user = getpwnam("postgres");
        if (geteuid() == 0 &&
            (!user || chown(folder.path().toLocal8Bit(), user->pw_uid, user->pw_gid) != 0)) {
            return "no user postgres to run the server as";
        }
        const QString made = run("initdb", {"-D", folder.filePath("data"), "-U", "postgres", "-A",
                                            "trust", "-E", "UTF8", "--locale=C", "--no-sync"});
        return made.isEmpty() ? resume() : made;
    }
    QString resume() const // no TCP, the socket in the test's folder, no fsync
    {
        return run("pg_ctl", {"-D", folder.filePath("data"), "-l", folder.filePath("log"), "-w",
                              "-o", QString("-k %1 -h '' -F").arg(folder.path()), "start"});
    }
    QString stop() const // fast: the sessions are cut at once, as when a server goes
    {
        return run("pg_ctl", {"-D", folder.filePath("data"), "-m", "fast", "-w", "stop"});
    }
    // A history URL of database on this server, by its socket folder.
    QString url(const QString &database) const
    {
        return "postgresql://postgres@" + QUrl::toPercentEncoding(folder.path()) + "/" + database;
    }
    QString psql(const QString &database, const QString &sql) const
    {
        return run("psql", {"-h", folder.path(), "-U", "postgres", "-d", database, "-v",
                            "ON_ERROR_STOP=1", "-Atc", sql});
    }
};

#endif
