#ifndef KT62_HISTORY_TARGET_H
#define KT62_HISTORY_TARGET_H

#include <QString>
#include <QStringList>

// Where the history lives: an SQLite file (created when missing; nothing to
// install or run) or a PostgreSQL database that several stations share.
struct HistoryTarget
{
    enum class Kind
    {
        Sqlite,
        Postgres,
    };
    Kind kind = Kind::Sqlite;
    QString path; // the SQLite file
    // The server: an empty host means libpq's default socket; a host that
    // starts with "/" is the folder of the server's Unix socket. An empty
    // password leaves it to libpq (PGPASSWORD, ~/.pgpass).
    QString user;
    QString password;
    QString host;
    int port = -1; // -1: libpq's default
    QString database;
    // libpq connection keywords from the URL's query ("connect_timeout=3"),
    // as key=value texts.
    QStringList options;

    // The Qt SQL driver of the kind: "QSQLITE" or "QPSQL".
    QString driver() const;
    // The target for messages: the file, or the URL without its password.
    QString display() const;
};

// Reads TARGET as the operator gives it: "postgresql://" or "postgres://"
// followed by [user[:password]@][host][:port][/database][?key=value&...],
// where any part may be percent-encoded (a socket folder as host is
// "%2Fvar%2Frun%2Fpostgresql", an IPv6 address goes in brackets), is a
// PostgreSQL database; anything else is the path of an SQLite file. False
// with a one-line *error for a malformed URL or an empty target.
bool parse_history_target(const QString &text, HistoryTarget *target, QString *error);

#endif
