#ifndef KT62_STATION_CONTROLLER_H
#define KT62_STATION_CONTROLLER_H

#include "production/production_run.h"
#include "serial/port_list.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>
#include <optional>

// What a port's tile shows, as data: the widgets word it in the language of
// the moment, so a switch of language rewords every tile at once.
struct PortTileModel
{
    enum class Activity
    {
        Waiting,    // for a board to be plugged in
        Opening,    // a board's port is open; its history row is written
        Querying,   // asking the device for its firmware
        Erasing,    // the device erases for the image
        Sending,    // the image goes out
        Completing, // the image went out; waiting for the device's result
        Returning,  // a run ended; waiting for the port to come back for a retry
        Verdict,    // the board ended; waiting for it to be unplugged
        Problem,    // the port is there but does not open; tried again
        Stopped,    // the station no longer serves this port
    };
    enum class Verdict
    {
        None,
        Done,
        Failed,
        Skipped,
    };

    QString port;    // as given: a name, a path or a USB identity
    QString adapter; // what the system knows of the port's adapter
    Activity activity = Activity::Waiting;
    int attempt = 0; // of the board in progress: 1, and more on retries
    int percent = 0;
    qint64 bytes = 0;            // acknowledged
    qint64 bytes_per_second = 0; // over the transfer so far
    Verdict verdict = Verdict::None;
    JobResult result = JobResult::None; // of the last board
    QString message;                    // the last board's, or why the port does not open
    GPI::OpenFailure problem = GPI::OpenFailure::None;
    QString group;  // to join for a permission problem; empty when not known
    QString status; // the production core's last line for the port (English)
    int boards = 0; // served on this port
};

// What the system knows of a port's adapter: its description and USB
// identity ("FT232R USB UART · usb:0403:6001:A50285BI"); empty when nothing.
QString adapter_summary(const PortDetails &port);

struct StationTotals
{
    RunTally tally;
    // Boards served per hour since Start, once a minute or a board has passed.
    std::optional<double> per_hour;
};

// Between the production core and the window: starts and stops the run,
// and keeps each port's tile and the session's totals as data that the
// widgets only display.
class StationController : public QObject
{
    Q_OBJECT
public:
    explicit StationController(QObject *parent = nullptr);
    ~StationController() override;

    // Starts serving: the refusal when the run is refused before anything is
    // sent (refused() may still follow for a history that does not open).
    QString start(const RunSettings &settings);
    // Boards in progress end now as interrupted; nothing more is sent.
    void stopNow();
    // No new board is taken; the boards in progress finish.
    void letFinish();
    // A stop request from the system: as stopNow(), with its signal's code.
    void interrupt(int signal_number);

    bool serving() const { return m_serving; }
    bool busy() const;
    // The last run's exit code, as kt62-flash --station would end with it.
    int exitCode() const { return m_exit_code; }
    const QVector<PortTileModel> &tiles() const { return m_tiles; }
    StationTotals totals() const;

signals:
    void tilesReset();
    void tileChanged(int port);
    void totalsChanged();
    void servingChanged(bool serving);
    void refused(const QString &message);
    void historyFailed(const QString &reason, const QString &fallback_path);
    void boardFinished(int port);
    void ended(int exit_code);

private:
    void follow();
    void onState(int port, PortLane::State state);
    void onAttempt(int port, const FlashReport &attempt);
    void onPhase(int port, UpgradePhase phase);
    void onProgress(int port, int percent, qint64 bytes, qint64 elapsed_ms);
    void onProblem(int port, const FlashReport &failed);
    void onBoard(int port, const FlashReport &report, int serial);
    void onEnded(int exit_code);

    std::unique_ptr<ProductionRun> m_run;
    QVector<PortTileModel> m_tiles;
    bool m_serving = false;
    int m_exit_code = 0;
    QElapsedTimer m_since; // Start
    QTimer m_hourly_rate;  // refreshes the boards per hour while serving
};

#endif
