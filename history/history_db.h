#ifndef KT62_HISTORY_DB_H
#define KT62_HISTORY_DB_H

#include "history/history_target.h"

#include <QSqlDatabase>
#include <QString>

// The newest schema this program writes; an older history is brought up to
// it, a newer one is refused.
constexpr int HISTORY_SCHEMA_VERSION = 2;

// How long the database may keep a caller waiting: for the connection to a
// server, and for one statement (PostgreSQL's statement_timeout, SQLite's
// busy timeout on a file that another program is writing).
struct HistoryLimits
{
    int connect_timeout_s = 10;
    int statement_timeout_ms = 10000;
};

// Opens a connection named name to the target, with the limits in force,
// for use on the calling thread only (Qt SQL connections belong to the
// thread that made them). A writer's SQLite file is put in WAL mode with
// full sync: a row committed survives a power cut, and readers never block
// the stations writing. A reader does not create a missing SQLite file.
// On failure *error says why and the connection is closed (remove it by name
// either way).
QSqlDatabase open_history_connection(const HistoryTarget &target, const QString &name,
                                     const HistoryLimits &limits, bool writer, QString *error);

// The schema version the database holds: 0 when it has none yet.
bool read_schema_version(QSqlDatabase &db, int *version, QString *error);

// Brings the schema up to version up_to by the migrations it lacks, in one
// transaction, so several stations opening one fresh database at once make
// it once; refuses a schema newer than this program knows.
bool prepare_schema(QSqlDatabase &db, const HistoryTarget &target, QString *error,
                    int up_to = HISTORY_SCHEMA_VERSION);

// Runs one statement; false with *error set (the statement's own error).
bool exec_sql(QSqlDatabase &db, const QString &sql, QString *error);

// The table of the boards, and the one that holds the schema version.
extern const char *const BOARDS_TABLE;
extern const char *const SCHEMA_TABLE;

#endif
