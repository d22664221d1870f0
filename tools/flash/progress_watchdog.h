#ifndef KT62_PROGRESS_WATCHDOG_H
#define KT62_PROGRESS_WATCHDOG_H

#include "upgrade/upgrader.h"

#include <QObject>
#include <QString>
#include <QTimer>

// What a run has achieved, read from the engine's state alone: its phase,
// the packets sent and acknowledged, the end of transmission and the result.
// Status texts are never read (they are translated, and a device can make
// the engine repeat them without getting anywhere).
struct ProgressMark
{
    UpgradePhase phase = UpgradePhase::Idle;
    int packets_sent = 0;
    int packets_acknowledged = 0;
    bool end_of_transmission_sent = false;
    int last_result = -1;

    bool operator==(const ProgressMark &other) const;
    bool operator!=(const ProgressMark &other) const { return !(*this == other); }
};

ProgressMark progress_mark(const Upgrader &engine);

// Whether the image arrived: every packet was sent and then acknowledged,
// and the end of transmission went out (so before the result that ended
// the run). A success result without this is a device that did not get the
// image: it may be erased, or running what it had.
bool image_delivered(const Upgrader &engine);
// "the device reported success before receiving the image (K of N blocks
// acknowledged)".
QString premature_success_message(const Upgrader &engine);

// Gives up on a run that stops moving on. Every step of progress (a change
// of the engine's ProgressMark: the answer to the query, the first block
// asked for after the erase, the acknowledgement of the next block, the end
// of transmission, the result) restarts the wait; bytes that change nothing
// (noise, repeated NAKs, "C", a boot log) do not. The wait for the end of
// the erase has a limit of its own: an erase can take minutes, in silence.
class ProgressWatchdog : public QObject
{
    Q_OBJECT
public:
    ProgressWatchdog(int progress_limit_ms, int erase_limit_ms, QObject *parent = nullptr);

    // Starts the wait from the engine's state as it is now.
    void start(const Upgrader &engine);
    // Looks at the engine again; a step of progress starts the wait afresh.
    void observe(const Upgrader &engine);
    void stop();

signals:
    // No progress within limit_ms in phase.
    void expired(UpgradePhase phase, int limit_ms);

private:
    void arm();

    int m_progress_limit_ms;
    int m_erase_limit_ms;
    QTimer m_timer;
    ProgressMark m_mark;
};

// Why a run that made no progress was given up, for the user. An erase that
// did not end says that the device may be left erased.
QString stall_message(UpgradePhase phase, int limit_ms, const Upgrader &engine);

#endif
