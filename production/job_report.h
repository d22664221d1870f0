#ifndef KT62_JOB_REPORT_H
#define KT62_JOB_REPORT_H

#include "serial/gpi.h"
#include "upgrade/upgrade_phase.h"

#include <QString>

// What a job does on its port.
enum class JobMode
{
    Upgrade,
    CheckVersion,
};

// How a job ended.
enum class JobResult
{
    None, // not ended yet
    Success,
    DeviceFailure,
    BadInput,
    PortError,
    Timeout,
    Skipped,          // the device already ran the image's version; nothing was erased
    PrematureSuccess, // the device reported success before the image was acknowledged
    Interrupted,      // a stop request ended the run
};

// The names reports, events, the history and the displays give them:
// "upgrade", "check-version"; "success", "device failure", "bad input",
// "port error", "timeout", "skipped", "premature success", "interrupted"
// (and an empty text for None).
QString job_mode_name(JobMode mode);
QString job_result_name(JobResult result);
// A phase's name: "query", "erase", "transfer", "completion"; empty for the
// states that are no phase of their own.
QString phase_name(UpgradePhase phase);

// A number of milliseconds as seconds for a message: "1.5", "30".
QString seconds_text(qint64 ms);

// The phases a run goes through, in order, as reports list them.
constexpr int REPORTED_PHASE_COUNT = 4;
constexpr UpgradePhase REPORTED_PHASES[REPORTED_PHASE_COUNT] = {
    UpgradePhase::Querying, UpgradePhase::Erasing, UpgradePhase::Transfer,
    UpgradePhase::Completion};

// What one run of a port did: enough to tell afterwards which image went to
// which port, how the line behaved and where the time went.
struct FlashReport
{
    JobMode mode = JobMode::Upgrade;
    QString port;        // as given: a name, a path or usb:VVVV:PPPP[:SERIAL]
    QString system_port; // the port opened for it; empty when none was found
    QString file;
    qint64 size = 0;
    int packets = 0;
    QString device_model;
    QString current_version;
    QString target_version;
    int naks = 0;
    qint64 blocks_sent = 0;
    qint64 blocks_acknowledged = 0;
    qint64 repeats = 0;
    // Milliseconds from the start of the run to the start of each phase;
    // -1 for a phase the run never reached.
    qint64 erase_at = -1;
    qint64 transfer_at = -1;
    qint64 completion_at = -1;
    qint64 end_at = -1;
    // The watchdog's limits: for each step of progress, and for the erase;
    // -1 where the mode has no such phase.
    qint64 progress_limit_ms = -1;
    qint64 erase_limit_ms = -1;
    JobResult result = JobResult::None;
    QString message;
    int exit_code = 0;
    // Runs of the port from its start sequence: 1 plus the retries used; 0
    // when nothing was started (bad input, a port that never appeared).
    int attempts = 0;
    // Why the port did not open, for a run that never had it open.
    GPI::OpenFailure open_failure = GPI::OpenFailure::None;

    // How long the phase lasted: from its own start to the start of the next
    // phase reached, or to the end of the run; -1 for a phase not reached or
    // a run not ended.
    qint64 phase_ms(UpgradePhase phase) const;
    // The watchdog's limit in phase; -1 where the mode has no such phase.
    qint64 phase_limit_ms(UpgradePhase phase) const;
};

// What a run of boards has served so far.
struct RunTally
{
    int served = 0;
    int succeeded = 0;
    int failed = 0;
    int skipped = 0;
    int worst_exit_code = 0; // 0 while every board succeeded or was skipped

    void add(const FlashReport &board);
};

#endif
