#include "tests/history/pg_server.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace {
const char *const SERVER_USER = "postgres";
const char *const SUPERUSER = "postgres";
constexpr int TOOL_LIMIT_MS = 120000;

// Debian keeps the server's tools per major version under
// /usr/lib/postgresql/N/bin; elsewhere they are on the PATH.
QString server_bin_folder()
{
    QStringList versions = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(versions.begin(), versions.end(), numeric);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = "/usr/lib/postgresql/" + *it + "/bin";
        if (QFileInfo(bin + "/initdb").isExecutable()) {
            return bin;
        }
    }
    const QString initdb = QStandardPaths::findExecutable("initdb");
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}
} // namespace

PgServer::~PgServer()
{
    QString ignored;
    stop(&ignored);
}

bool PgServer::run(const QString &tool, const QStringList &arguments, QString *output,
                   bool as_server_user) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_folder.path());
    if (as_server_user && geteuid() == 0) {
        process.start("runuser",
                      QStringList{"-u", SERVER_USER, "--", m_bin + '/' + tool} + arguments);
    } else {
        process.start(m_bin + '/' + tool, arguments);
    }
    const bool ended = process.waitForFinished(TOOL_LIMIT_MS);
    *output = QString::fromLocal8Bit(process.readAll());
    if (!ended || process.exitStatus() != QProcess::NormalExit) {
        *output += process.errorString();
        return false;
    }
    return process.exitCode() == 0;
}

QString PgServer::data_folder() const
{
    return m_folder.filePath("data");
}

bool PgServer::start(QString *error)
{
    m_bin = server_bin_folder();
    if (m_bin.isEmpty() || !m_folder.isValid()) {
        *error = "no PostgreSQL server tools (initdb) found; make deps installs them";
        return false;
    }
    if (geteuid() == 0) {
        const passwd *user = getpwnam(SERVER_USER);
        if (!user ||
            chown(m_folder.path().toLocal8Bit().constData(), user->pw_uid, user->pw_gid) != 0) {
            *error = "no user postgres to run the server as";
            return false;
        }
    }
    if (!m_made && !run("initdb",
                        {"-D", data_folder(), "-U", SUPERUSER, "-A", "trust", "-E", "UTF8",
                         "--locale=C", "--no-sync"},
                        error)) {
        return false;
    }
    m_made = true;
    // No TCP at all, the socket in the test's folder; no fsync, for speed.
    const QString options = QString("-k %1 -h '' -F").arg(m_folder.path());
    m_running = run("pg_ctl",
                    {"-D", data_folder(), "-l", m_folder.filePath("server.log"), "-w", "-t", "60",
                     "-o", options, "start"},
                    error);
    return m_running;
}

bool PgServer::stop(QString *error)
{
    if (!m_running) {
        return true;
    }
    m_running = !run("pg_ctl", {"-D", data_folder(), "-m", "fast", "-w", "stop"}, error);
    return !m_running;
}

QString PgServer::url(const QString &database) const
{
    return QString("postgresql://%1@%2/%3")
        .arg(SUPERUSER, QString(QUrl::toPercentEncoding(m_folder.path())), database);
}

bool PgServer::psql(const QString &database, const QString &sql, QString *output) const
{
    return run("psql",
               {"-h", m_folder.path(), "-U", SUPERUSER, "-d", database, "-v", "ON_ERROR_STOP=1",
                "-At", "-c", sql},
               output, false);
}

QString PgServer::create_database(const QString &name, QString *error)
{
    return psql("postgres", "CREATE DATABASE " + name, error) ? url(name) : QString();
}
