#ifndef KT62_PROGRESS_WATCHDOG_H
#define KT62_PROGRESS_WATCHDOG_H

#include "upgrade/upgrader.h"

#include <QObject>
#include <QString>
#include <QTimer>

// The furthest a run has got, read from the engine's state alone. Each step
// counts once, the first time it is reached: a device that makes the engine
// go back and forth (an erase-finished report and ACKs again and again, the
// transfer restarted) shows no new step, however busy it keeps the engine.
// Status texts are never read (they are translated, and a device can make
// the engine repeat them without getting anywhere).
struct ProgressRecord
{
    bool answered = false;       // the device answered the query
    bool erase_finished = false; // it reported the end of the erase
    int acknowledged = 0;        // the most blocks acknowledged in one transfer
    bool end_of_transmission = false;
    bool result = false;

    // Takes in the engine's state; true when it shows a step not reached
    // before.
    bool advance(const Upgrader &engine);
};

// Gives up on a run that stops moving on. Only a step not reached before in
// this run (see ProgressRecord) starts the wait again; bytes that change
// nothing (noise, repeated NAKs, "C", a boot log) and steps taken again do
// not. The wait for the answer starts when the first query has gone out, not
// with the run. The wait for the end of the first erase has a limit of its
// own: an erase can take minutes, in silence.
class ProgressWatchdog : public QObject
{
    Q_OBJECT
public:
    ProgressWatchdog(int progress_limit_ms, int erase_limit_ms, QObject *parent = nullptr);

    // A run begins: nothing is reached yet, and nothing is waited for until
    // the first query has gone out.
    void start(const Upgrader &engine);
    // The engine sent a query: the wait for its answer starts with the first.
    void query_sent();
    // Looks at the engine again; a step not reached before starts the wait
    // afresh.
    void observe(const Upgrader &engine);
    void stop();

    const ProgressRecord &record() const { return m_record; }

signals:
    // No progress within limit_ms; phase is where the engine stands.
    void expired(UpgradePhase phase, int limit_ms);

private:
    void arm();

    int m_progress_limit_ms;
    int m_erase_limit_ms;
    QTimer m_timer;
    bool m_watching = false;
    ProgressRecord m_record;
    UpgradePhase m_phase = UpgradePhase::Idle;
};

// Why a run that made no progress was given up, for the user. An erase that
// did not end says that the device may be left erased.
QString stall_message(UpgradePhase phase, int limit_ms, const Upgrader &engine);

#endif
