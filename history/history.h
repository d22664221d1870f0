#ifndef KT62_HISTORY_H
#define KT62_HISTORY_H

#include "history/board_record.h"
#include "history/history_db.h"
#include "history/history_target.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class HistoryWorker;
class QThread;

struct HistoryOptions
{
    HistoryLimits limits;
    // Where the rows of boards in progress go once the history has failed;
    // empty: default_fallback_path() of the target.
    QString fallback_path;
};

// The fallback file of a target: beside an SQLite file, FILE.unsaved.jsonl;
// for a server, history-unsaved.jsonl in the program's own data folder
// (QStandardPaths::AppLocalDataLocation: ~/.local/share/kt62-flash/ for
// kt62-flash on Linux, %LOCALAPPDATA%\kt62-flash\ on Windows).
QString default_fallback_path(const HistoryTarget &target);

// The board history of a station, for a caller on an event loop: every
// board's row is committed when it starts and completed when it ends, each
// in a transaction of its own, on a thread and connection of History's own.
// Every call returns at once and every answer comes back as a signal on the
// caller's thread, so a slow or vanished database never stalls the ports.
//
// Use:
//   1. open(); wait for opened(). Not ok: refuse the run (nothing sent) and
//      show the error.
//   2. per board: ticket = begin(record); start the board only on
//      begun(ticket, true). Not ok: the board is not taken.
//   3. when it ends: complete(ticket, record) -> completed(ticket, ok).
//   4. close(), or destroy the object: queued writes are finished first.
//
// The first failed write after a good open (disk full, server gone, no
// answer within the statement limit) makes the history failed: failed() is
// emitted once, before the answer to that write. From then on every begin is
// answered not ok (the station takes no new boards) and every completion,
// the failed one included, is appended to fallback_path() as one JSON object
// per line (board_to_json(), with the row's id) and answered not ok.
class History : public QObject
{
    Q_OBJECT
public:
    explicit History(const HistoryTarget &target, const HistoryOptions &options = HistoryOptions(),
                     QObject *parent = nullptr);
    // Calls close().
    ~History() override;

    // Connects (within the connect time-out), creates or migrates the schema,
    // refuses a newer one, and writes a probe row (inserted, changed and
    // deleted in one transaction) so that a read-only file, a full disk or a
    // user without the rights a station needs is found before any board is
    // touched. Answered by opened().
    void open();
    // Writes the board's start row (result "started", no end) and returns its
    // ticket at once; begun() follows when the row is committed. Only after
    // opened(true); a refusal is answered not ok as well.
    quint64 begin(const BoardRecord &record);
    // Completes the row of a begun ticket with record's values (all but id
    // and started; an invalid ended becomes now). Answered by completed().
    void complete(quint64 ticket, const BoardRecord &record);
    // Finishes the queued writes and ends the thread; answers still due are
    // emitted before it returns. Blocks the caller for as long as the
    // database keeps making progress; a database that makes none within a
    // statement's limit is given up (its pending rows go to the fallback
    // file) and its thread left to end with the process.
    void close();

    const HistoryTarget &target() const { return m_target; }
    QString fallback_path() const;
    bool is_open() const { return m_state == State::Open; }
    bool has_failed() const { return m_state == State::Failed; }

signals:
    void opened(bool ok, const QString &error);
    void begun(quint64 ticket, bool ok);
    // ok: the row is complete in the history; otherwise it is in the
    // fallback file (or, when that could not be written, recordLost() came
    // first).
    void completed(quint64 ticket, bool ok);
    void failed(const QString &reason, const QString &fallback_path);
    // Neither the history nor the fallback file took the row.
    void recordLost(quint64 ticket, const QString &reason);

private:
    enum class State
    {
        Closed,
        Opening,
        Open,
        Failed,
    };
    struct Pending
    {
        bool completing = false;
        BoardRecord record;
    };

    void onOpened(bool ok, const QString &error);
    void onBegun(quint64 ticket, bool ok, qint64 id, const QString &error);
    void onCompleted(quint64 ticket, bool ok, qint64 id, const QString &error);
    void onStalled();
    void fail(const QString &reason);
    // Appends a completion to the fallback file; recordLost() when it cannot.
    void keep(quint64 ticket, BoardRecord record);
    void send(std::function<void(HistoryWorker *)> request, int limit_ms);
    void answered();
    // Emits from the event loop, after the call that caused it has returned.
    void later(std::function<void()> emission);
    int open_limit_ms() const;
    int write_limit_ms() const;

    HistoryTarget m_target;
    HistoryOptions m_options;
    QThread *m_thread = nullptr;
    HistoryWorker *m_worker = nullptr;
    State m_state = State::Closed;
    quint64 m_next_ticket = 1;
    QHash<quint64, qint64> m_rows;     // begun tickets not yet completed -> row id
    QHash<quint64, Pending> m_pending; // writes the worker has not answered
    QTimer m_stall;                    // runs while an answer is due
};

#endif
