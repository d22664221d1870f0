#ifndef KT62_HISTORY_WORKER_H
#define KT62_HISTORY_WORKER_H

#include "history/board_record.h"
#include "history/history_db.h"
#include "history/history_target.h"

#include <QHash>
#include <QObject>
#include <QSqlDatabase>

#include <atomic>

// The database side of History: lives on History's thread with a connection
// of its own, does one request at a time in the order they were queued, and
// answers each by a signal. Not for use on its own.
class HistoryWorker : public QObject
{
    Q_OBJECT
public:
    HistoryWorker(const HistoryTarget &target, const HistoryLimits &limits);
    ~HistoryWorker() override;

    // Answers given so far: History's close() tells a worker that is slow
    // from one that is stuck by it, without a round trip through its queue.
    int answers() const { return m_answers.load(); }

    void open();
    void begin(quint64 ticket, const BoardRecord &record);
    void complete(quint64 ticket, const BoardRecord &record);
    // Closes the connection; the last request of the worker's life.
    void finish();

signals:
    void opened(bool ok, const QString &error);
    void begun(quint64 ticket, bool ok, qint64 id, const QString &error);
    void completed(quint64 ticket, bool ok, qint64 id, const QString &error);

private:
    bool writable(QString *error) const;
    bool probe(QString *error);
    bool insert(const BoardRecord &record, qint64 *id, QString *error);
    bool update(qint64 id, const BoardRecord &record, QString *error);
    // Notes a failed write: every later one is refused, as History refuses
    // them, so no board is taken after the first failure.
    QString write_failed(const QString &why);

    HistoryTarget m_target;
    HistoryLimits m_limits;
    QString m_name; // of the connection
    QSqlDatabase m_db;
    bool m_open = false;
    bool m_failed = false;
    QHash<quint64, qint64> m_rows; // ticket -> row id
    std::atomic<int> m_answers{0};
};

#endif
