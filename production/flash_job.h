#ifndef KT62_FLASH_JOB_H
#define KT62_FLASH_JOB_H

#include "production/job_report.h"
#include "production/progress_watchdog.h"
#include "serial/gpi.h"
#include "upgrade/upgrader.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

struct JobSettings
{
    JobMode mode = JobMode::Upgrade;
    QString port;
    QString firmware;              // may be empty for a version check
    int timeout_ms = 30000;        // the longest wait for a step of progress
    int erase_timeout_ms = 600000; // the longest wait for the end of the erase
    // Ask the device first and leave it alone (result "skipped") when its
    // answer shows the image's version already.
    bool skip_same = false;
};

// Whether the device's answer to the query names the image exactly: its
// first "_" field is model, its second "V" and version, nothing more in
// either (further "_" fields may follow). Only then does --skip-same leave
// the device alone.
bool answer_names_image(const QString &answer, const QString &model, const QString &version);

// The success rule: the image arrived only when every packet was sent and
// then acknowledged, after it had left this program, and the end of
// transmission went out (so before the result that ended the run). A
// success result without this is a device that did not get the image: it
// may be erased, or running what it had.
bool image_delivered(const Upgrader &engine);
// "the device reported success before receiving the image (K of N blocks
// acknowledged)".
QString premature_success_message(const Upgrader &engine);

// One device on one port: its own channel, NAK count and firmware path, an
// engine on them, and the watchdogs the GUI leaves to its user (a device
// that makes no progress, a pulled cable). Several jobs can share one event
// loop.
class FlashJob : public QObject
{
    Q_OBJECT
public:
    explicit FlashJob(const JobSettings &settings, QObject *parent = nullptr);
    ~FlashJob() override;

    // Checks and loads the firmware; false (with the reason in the report's
    // message) when it is unfit. Nothing is sent either way.
    bool prepare();
    // Takes the image of a job that was prepared, without looking at the
    // file again: a retry or the next board of a station sends the table
    // that was checked when the run began.
    void take_image(const FlashJob &prepared);
    // Marks the job refused as bad input with message; nothing is sent.
    void refuse(const QString &message);
    // Opens the port, nothing more; false when it does not open (the
    // report's open_failure and open_error() say why). A board's port is
    // opened first so that nothing is recorded for a port that will not
    // open, and the board is held for this run while its record is written.
    bool open_port();
    // "cannot open the port PORT: in use by another program" and the like.
    QString open_error() const;
    // Opens the port unless open_port() did, and starts the run; finished()
    // follows in every case.
    void start();
    // Ends a run in progress at once: nothing more is sent, the port is
    // closed and finished() follows. Nothing happens when no run is active.
    void abort(JobResult result, int exit_code, const QString &message);
    // The same for the signal signal_number: the run ends as interrupted with
    // exit code 128 + the number. A run that has ended is left as it ended.
    void interrupt(int signal_number, const QString &signal_name);

    const FlashReport &report() const { return m_report; }
    const Upgrader &engine() const { return m_engine; }

signals:
    void status(const QString &text);
    // bytes of the image acknowledged so far (percent of total); shown only
    // when the count rises; elapsed_ms since the transfer began
    void progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    void finished(int exit_code);
    // The engine moved on to phase (seen from its state, never its texts).
    void phaseEntered(UpgradePhase phase);

private slots:
    void onInfo(QString text);
    void onProgress();
    void onUpgradeFinished();
    void onCheckFinished();
    void onData();
    void onPortStatus(bool connected);
    void onStalled(UpgradePhase phase, int limit_ms);

private:
    // Notes the time a phase began, from the engine's state; called after
    // everything that can move the engine on (its signals, a received chunk).
    void notePhase();
    void stopWith(int exit_code, JobResult result, const QString &message);
    void finish(int exit_code, JobResult result, const QString &message);
    bool delivered() const;
    void fillTransferFigures();

    JobSettings m_settings;
    GPI m_channel;
    int m_nak_count = 0;
    QString m_firmware_file;
    Upgrader m_engine; // after the three it is built on
    ProgressWatchdog m_watchdog;
    QElapsedTimer m_clock;
    FlashReport m_report;
    bool m_active = false;
    bool m_finished = false;
    UpgradePhase m_phase = UpgradePhase::Idle;
    QString m_last_text;           // shown as the message of a good end, never compared
    bool m_gate_asked = false;     // the first answer decided the erase
    bool m_kept = false;           // the erase gate kept the device as it was
    bool m_answered_again = false; // a later answer was refused a second erase
    bool m_erase_asked = false;    // this run asked the device to erase
    int m_shown_acknowledged = 0;  // the blocks the last progress showed
};

#endif
