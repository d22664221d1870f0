#ifndef KT62_PRODUCTION_RUN_H
#define KT62_PRODUCTION_RUN_H

#include "production/flash_job.h"
#include "production/job_report.h"
#include "production/port_finder.h"
#include "production/port_lane.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>
#include <vector>

class History;
struct BoardRecord;

// What a run of ports is asked to do, whatever the front end.
struct RunSettings
{
    static constexpr int DEFAULT_TIMEOUT_MS = 30000;
    static constexpr int DEFAULT_ERASE_TIMEOUT_MS = 600000;

    JobMode mode = JobMode::Upgrade;
    // Serve board after board on every port until stopped, instead of one
    // run per port.
    bool station = false;
    // Each once, in the order given: names, paths or USB identities.
    QStringList ports;
    QString firmware; // may be empty for a version check
    int timeout_ms = DEFAULT_TIMEOUT_MS;
    int erase_timeout_ms = DEFAULT_ERASE_TIMEOUT_MS;
    int retries = 0;        // further runs of a port after exit code 1, 3 or 4
    bool skip_same = false; // leave a device alone that runs the image's version
    bool wait = false;      // wait up to the time-out for each port to appear
    bool force = false;     // send an image whose checksum header does not match
    QString history;        // an SQLite file or a PostgreSQL URL; empty: none
    QString station_name;   // in the history; empty: this host's name
};

// Every port of a run on one event loop: the production core behind each
// front end (kt62-flash, the station window). It checks what must hold
// before anything is sent, records every board in the history (when one is
// given) before the board is touched and when it ends, runs each port's
// lane (waits, retries, board after board in a station), and tells how
// every port and board goes through typed signals. It prints nothing.
class ProductionRun : public QObject
{
    Q_OBJECT
public:
    explicit ProductionRun(const RunSettings &settings, QObject *parent = nullptr);
    ~ProductionRun() override;

    // What must hold before anything is sent: one device named twice, the
    // image (read once; its checksum header unless forced; not empty), the
    // USB identities. Returns why the run is refused, or an empty text; a
    // refused run marks every port's report "bad input".
    QString prepare();
    // The prepared image's facts (file, size, packets, model, version).
    const FlashReport &image() const;
    // Opens the history first, when one is given: one that cannot be opened
    // or written refuses the run (refused(), then ended()) before anything
    // is sent. Then every port is served.
    void start();
    // Stops at once: boards in progress end with result and exit_code
    // (nothing more is sent to them), waits end. ended() follows. Later calls
    // change nothing.
    void stop(JobResult result, int exit_code, const QString &message);
    // The way a stop request from the system ends the run: as interrupted,
    // with 128 + the signal's number.
    void interrupt(int signal_number);
    // A station takes no new board; the boards in progress finish, then the
    // run ends.
    void finish();

    bool busy() const;
    // 0 when every port (every board of a station) succeeded or was skipped,
    // otherwise the highest code among them; 128 + the signal's number when
    // an interruption cut a board short; at least EXIT_HISTORY_FAILED when
    // the history failed during the run.
    int exit_code() const;
    const RunTally &tally() const { return m_tally; }
    // Each port's last outcome, in the order given.
    const QVector<FlashReport> &reports() const { return m_reports; }
    const RunSettings &settings() const { return m_settings; }

signals:
    // The run will not start; nothing was sent. ended() follows.
    void refused(const QString &message);
    void portState(int port, PortLane::State state);
    // A station's port that is there does not open: failed says why. It is
    // tried again until it opens or goes.
    void portProblem(int port, const FlashReport &failed);
    void attemptStarted(int port, const FlashReport &attempt);
    void portStatus(int port, const QString &text);
    void portPhase(int port, UpgradePhase phase);
    void portProgress(int port, int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    // A board's (or a port's run's) outcome, after its retries; serial counts
    // the boards of that port from 1.
    void boardFinished(int port, const FlashReport &report, int serial);
    // The history failed during the run: no new board is taken, and rows it
    // could not take are kept in fallback_path.
    void historyFailed(const QString &reason, const QString &fallback_path);
    // Every port has ended and every board's row is written.
    void ended(int exit_code);

private:
    struct Lane
    {
        std::unique_ptr<PortLane> lane;
        quint64 ticket = 0;    // the history row of the board in progress; 0: none
        bool row_open = false; // that row is written
        QString started;       // when that board began (UTC, the row's form)
        // A board that ended before its row was written: completed once it is.
        std::optional<FlashReport> ended;
        int boards = 0;
    };

    void refuse(const QString &message);
    void openHistory();
    void startLanes();
    void follow(int index);
    BoardRecord record(int index, const FlashReport &report) const;
    void beginRow(int index, const FlashReport &report);
    void onRowBegun(quint64 ticket, bool ok);
    void completeRow(Lane &lane, int index, const FlashReport &report);
    void onArriving(int index);
    void onBoard(int index, const FlashReport &report);
    void onHistoryFailed(const QString &reason, const QString &fallback);
    void endWhenIdle();

    RunSettings m_settings;
    FlashJob m_image; // the checked image every run sends
    QByteArray m_image_sha256;
    ServedDevices m_served;
    std::vector<Lane> m_lanes;
    std::unique_ptr<History> m_history;
    QVector<FlashReport> m_reports;
    RunTally m_tally;
    int m_open = 0;        // lanes still to end (a station's end once stopping)
    int m_writes = 0;      // history answers still due
    bool m_ending = false; // no new board is taken
    bool m_stopped = false;
    bool m_ended = false;
    bool m_interrupted = false;
    int m_stop_code = 0;
    bool m_history_failed = false;
};

#endif
