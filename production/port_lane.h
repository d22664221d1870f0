#ifndef KT62_PORT_LANE_H
#define KT62_PORT_LANE_H

#include "production/flash_job.h"
#include "production/node_watch.h"
#include "production/port_finder.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>

struct LaneSettings
{
    JobSettings job;      // its port is set to the port found, run by run
    int retries = 0;      // further runs after exit code 1, 3 or 4
    bool wait = false;    // wait up to the job's time-out for the port to appear
    bool station = false; // serve board after board, without end
    // Each board waits for admit() once its port is open, before anything is
    // sent (its history row is written first); otherwise it is served at once.
    bool admission = false;
};

// One --port of a run, from finding the port to the board's outcome. It
// waits for the port where asked to, runs the port's job (a fresh job, and
// so a fresh engine, for every run: nothing of an earlier run or board is
// left over), runs it again after exit code 1, 3 or 4 as far as the
// retries go (first waiting, up to the time-out, for a port that is gone),
// and in a station then waits for the board to be unplugged and for the
// next one, without end. A board is unplugged when its node (or the link
// given as its port) is removed or made anew, or another adapter takes its
// name; a node that stays is the same board, whatever is done to it. The
// device a lane serves is claimed in served until its board is gone: a
// second spelling of it in another lane is not another board. In a station
// a port that is there but does not open (permission, in use) is no board:
// the lane says why and tries again until it opens or goes.
class PortLane : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Appearing, // waiting for the port (a board) to appear
        Admitting, // a board's port is open; waiting for admit()
        Running,
        Returning,   // a run ended; waiting for its port to come back for a retry
        Leaving,     // a station's board ended; waiting for it to be unplugged
        PortProblem, // a station's port that does not open; tried again
        Done,
    };
    Q_ENUM(State)

    // prepared holds the checked image; it and served outlive the lane.
    PortLane(const QString &port, const LaneSettings &settings, const FlashJob &prepared,
             ServedDevices &served, QObject *parent = nullptr);
    ~PortLane() override;

    const QString &port() const { return m_port; }
    State state() const { return m_state; }
    void start();
    // Whether a board is being served: a run in progress, or one that ended
    // and waits for its port to come back for a retry.
    bool busy() const;
    // Ends the lane: a run in progress is stopped at once (nothing more is
    // sent) and its board ends with result and exit_code; a board waiting
    // for a retry ends so too. boardFinished() follows for that board only.
    void stop(JobResult result, int exit_code, const QString &message);
    // The lane takes no new board; the board in progress finishes. A port
    // of a run (not a station) that has no board yet ends as bad input, not
    // started, for reason.
    void finish(const QString &reason);
    // The answer to boardArriving(): serve the board, or take none from now
    // on (as finish() does). False when the lane no longer waits for an
    // answer (it was stopped meanwhile).
    bool admit(bool admitted);

signals:
    void stateChanged(PortLane::State state);
    // A run begins: attempts is its number (1, and more on retries).
    void attemptStarted(const FlashReport &attempt);
    void phaseEntered(UpgradePhase phase);
    void status(const QString &text);
    void progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    // A board's port is open; with admission the board waits for admit().
    void boardArriving();
    // A station's port that is there does not open: failed says why
    // (open_failure, message). It is tried again.
    void portProblem(const FlashReport &failed);
    // A board's outcome, after its retries. Without a station the lane
    // ends with it.
    void boardFinished(const FlashReport &report);

private:
    void setState(State state);
    // A board found: its first run, once its port is open and the board
    // admitted.
    void arrive(const PortSighting &sighting);
    void runAttempt(const PortSighting &sighting);
    void makeJob(const PortSighting &sighting);
    void startJob();
    void showProblem();
    void onAttemptFinished();
    void endBoard(const FlashReport &report);
    void waitFor(State state, int limit_ms);
    void look();
    void lookWhileLeaving(const PortSighting &sighting);
    void lookForPort(const PortSighting &sighting);
    // Whether another lane serves the device found; a station waits for
    // that board to go, any other run is refused.
    bool servedElsewhere(const PortSighting &sighting);
    void say(const QString &text);
    void onNodeRemoved();
    void boardGone();
    FlashReport unstarted(JobResult result, int exit_code, const QString &message) const;
    FlashReport labelled(const FlashReport &report) const;

    QString m_port;
    LaneSettings m_settings;
    const FlashJob &m_prepared;
    ServedDevices &m_served;
    State m_state = State::Idle;
    std::unique_ptr<FlashJob> m_job;
    // The job whose end is being handled: kept until the next one ends, as
    // a retry may begin while its finished() is still being delivered.
    std::unique_ptr<FlashJob> m_ended_job;
    int m_attempts = 0;
    bool m_board_erased = false; // a run of this board asked for the erase
    bool m_stopping = false;
    bool m_finishing = false;
    QString m_system_port;     // of the run in progress or the last one
    FlashReport m_last;        // the last run's outcome, while a retry waits
    QString m_board_identity;  // the port of the board that was served
    bool m_board_left = false; // its node was removed since its run began
    NodeWatch m_watch;         // on the node of the board being served
    QString m_shown;           // a complaint while waiting, shown once
    QTimer m_poll;
    QElapsedTimer m_waited;
    int m_wait_limit_ms = -1; // -1: no limit
};

#endif
