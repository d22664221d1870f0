#include "history/history_worker.h"

#include <QAtomicInteger>
#include <QSqlError>
#include <QSqlQuery>

namespace {
const char *const PROBE_RESULT = "probe";
QAtomicInteger<quint64> connection_count;

// Every column but the id, which the database gives, in board_columns()
// order; the values of board_values() follow it from index 1.
QStringList written_columns()
{
    return board_columns().mid(1);
}

QString insert_sql(HistoryTarget::Kind kind)
{
    const QStringList columns = written_columns();
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i) {
        marks << "?";
    }
    QString sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                      .arg(BOARDS_TABLE, columns.join(", "), marks.join(", "));
    // The server's id comes back with the row; SQLite tells it on the side.
    return kind == HistoryTarget::Kind::Postgres ? sql + " RETURNING id" : sql;
}

// Every column but the id and the start, which the begin row holds for good.
QString update_sql()
{
    QStringList sets;
    for (const QString &column : written_columns().mid(1)) {
        sets << column + " = ?";
    }
    return QStringLiteral("UPDATE %1 SET %2 WHERE id = ?").arg(BOARDS_TABLE, sets.join(", "));
}

QString query_error(const QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    return (error.databaseText().isEmpty() ? error.text() : error.databaseText()).simplified();
}
} // namespace

HistoryWorker::HistoryWorker(const HistoryTarget &target, const HistoryLimits &limits)
    : m_target(target), m_limits(limits),
      m_name(QStringLiteral("kt62_history_%1").arg(connection_count.fetchAndAddRelaxed(1)))
{}

HistoryWorker::~HistoryWorker()
{
    finish();
}

void HistoryWorker::open()
{
    QString error;
    m_db = open_history_connection(m_target, m_name, m_limits, true, &error);
    m_open = error.isEmpty() && prepare_schema(m_db, m_target, &error) && probe(&error);
    if (!m_open) {
        finish();
    }
    ++m_answers;
    emit opened(m_open, error);
}

void HistoryWorker::begin(quint64 ticket, const BoardRecord &record)
{
    BoardRecord row = record;
    row.result = BOARD_STARTED;
    row.exit_code = -1;
    row.ended = QDateTime();
    if (!row.started.isValid()) {
        row.started = QDateTime::currentDateTimeUtc();
    }
    qint64 id = -1;
    QString error;
    if (!writable(&error) || !insert(row, &id, &error)) {
        error = write_failed(error);
    } else {
        m_rows.insert(ticket, id);
    }
    ++m_answers;
    emit begun(ticket, error.isEmpty(), id, error);
}

void HistoryWorker::complete(quint64 ticket, const BoardRecord &record)
{
    const qint64 id = m_rows.value(ticket, -1);
    m_rows.remove(ticket);
    BoardRecord row = record;
    if (!row.ended.isValid()) {
        row.ended = QDateTime::currentDateTimeUtc();
    }
    QString error;
    if (id < 0) {
        error = QStringLiteral("no board was begun as ticket %1").arg(ticket);
    } else if (!writable(&error) || !update(id, row, &error)) {
        error = write_failed(error);
    }
    ++m_answers;
    emit completed(ticket, error.isEmpty(), id, error);
}

void HistoryWorker::finish()
{
    if (!m_db.isValid()) {
        return;
    }
    m_db.close();
    m_db = QSqlDatabase(); // the last handle goes before the name
    QSqlDatabase::removeDatabase(m_name);
    m_open = false;
}

bool HistoryWorker::insert(const BoardRecord &record, qint64 *id, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(insert_sql(m_target.kind));
    const QVariantList values = board_values(record);
    for (int i = 1; i < values.size(); ++i) {
        query.addBindValue(values.at(i));
    }
    if (!query.exec()) {
        *error = query_error(query);
        return false;
    }
    const QVariant key = m_target.kind == HistoryTarget::Kind::Postgres && query.next()
                             ? query.value(0)
                             : query.lastInsertId();
    *id = key.toLongLong();
    return true;
}

bool HistoryWorker::update(qint64 id, const BoardRecord &record, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(update_sql());
    const QVariantList values = board_values(record);
    for (int i = 2; i < values.size(); ++i) {
        query.addBindValue(values.at(i));
    }
    query.addBindValue(id);
    if (!query.exec()) {
        *error = query_error(query);
        return false;
    }
    if (query.numRowsAffected() != 1) {
        *error = QStringLiteral("the row %1 is gone").arg(id);
        return false;
    }
    return true;
}

bool HistoryWorker::probe(QString *error)
{
    // A row written, changed and deleted in one committed transaction: a
    // read-only file, a full disk or a user without the rights a station
    // needs shows here, before any board is touched.
    BoardRecord row;
    row.started = QDateTime::currentDateTimeUtc();
    row.result = PROBE_RESULT;
    const bool sqlite = m_target.kind == HistoryTarget::Kind::Sqlite;
    qint64 id = -1;
    QString why;
    const QString remove = QStringLiteral("DELETE FROM %1 WHERE id = %2").arg(BOARDS_TABLE);
    if (exec_sql(m_db, sqlite ? "BEGIN IMMEDIATE" : "BEGIN", &why) && insert(row, &id, &why) &&
        update(id, row, &why) && exec_sql(m_db, remove.arg(id), &why) &&
        exec_sql(m_db, "COMMIT", &why)) {
        return true;
    }
    QString ignored;
    exec_sql(m_db, "ROLLBACK", &ignored);
    *error = QStringLiteral("cannot write to the history %1: %2").arg(m_target.display(), why);
    return false;
}

bool HistoryWorker::writable(QString *error) const
{
    if (m_failed) {
        *error = QStringLiteral("an earlier write failed");
    } else if (!m_open) {
        *error = QStringLiteral("the history is not open");
    }
    return m_open && !m_failed;
}

QString HistoryWorker::write_failed(const QString &why)
{
    m_failed = true;
    return QStringLiteral("cannot write to the history %1: %2").arg(m_target.display(), why);
}
