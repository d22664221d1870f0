#ifndef KT62_FLASH_REPORT_H
#define KT62_FLASH_REPORT_H

#include "upgrade/upgrader.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

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
    Skipped,          // --skip-same: the device already ran the image's version
    PrematureSuccess, // the device reported success before the image was acknowledged
    Interrupted,      // a signal stopped the run
};

// The names the report and the display give them: "upgrade",
// "check-version"; "success", "device failure", "bad input", "port error",
// "timeout", "skipped", "premature success", "interrupted" (and an empty text
// for None).
QString job_mode_name(JobMode mode);
QString job_result_name(JobResult result);
// A phase's name in the report and the events: "query", "erase", "transfer",
// "completion"; empty for the states that are no phase of their own.
QString phase_name(UpgradePhase phase);
// A text, or null where it is empty (unknown).
QJsonValue text_or_null(const QString &text);

// What one run did, for --report: enough to tell afterwards which image
// went to which port, how the line behaved and where the time went.
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
    QJsonObject toJson() const;
};

// Writes object as indented JSON to path, replacing a regular file or making
// a new one, never anything else (see file_target.h). False with *error set
// on failure.
bool write_json_file(const QJsonObject &object, const QString &path, QString *error);

// Writes the run's report as indented JSON: the exit code of the whole run,
// the message of a run refused as a whole (when not empty), and one entry
// per port, in the order the ports were given (one port is no special case,
// so scripts read one format). False with *error set on failure.
bool write_report(const QVector<FlashReport> &reports, int exit_code, const QString &path,
                  QString *error, const QString &message = QString());

#endif
