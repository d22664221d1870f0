#ifndef KT62_TEST_PG_SERVER_H
#define KT62_TEST_PG_SERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL server of the test's own: a fresh cluster in a temporary
// folder, listening only on a Unix socket in that folder, so it meets no
// other server and needs no free port. Run as the user postgres when the
// test runs as root (the server refuses root). Stopped and removed with the
// object.
class PgServer
{
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // Makes the cluster (the first time) and starts the server; false with
    // the tools' own output in *error when it cannot.
    bool start(QString *error);
    // A fast shutdown: the sessions are cut at once, as when a server goes.
    bool stop(QString *error);
    // A new empty database; its URL, with the socket folder as its host.
    QString create_database(const QString &name, QString *error);
    QString url(const QString &database) const;
    QString tool(const QString &name) const { return m_bin + '/' + name; }
    // Runs psql -c sql on database as the superuser; its output.
    bool psql(const QString &database, const QString &sql, QString *output) const;

private:
    bool run(const QString &tool, const QStringList &arguments, QString *output,
             bool as_server_user = true) const;
    QString data_folder() const;

    QTemporaryDir m_folder;
    QString m_bin; // the folder of initdb and pg_ctl
    bool m_made = false;
    bool m_running = false;
};

#endif
