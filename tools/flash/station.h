#ifndef KT62_STATION_H
#define KT62_STATION_H

#include "tools/flash/job_run.h"
#include "tools/flash/run_output.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QVector>

#include <memory>
#include <vector>

// What a station has served so far.
struct StationTally
{
    int served = 0;
    int succeeded = 0;
    int failed = 0;
    int skipped = 0;
    int worst_exit_code = 0; // 0 while every board succeeded or was skipped

    void add(const FlashReport &board);
    // {"served": N, "succeeded": N, "failed": N, "skipped": N}
    QJsonObject toJson() const;
    // "boards served: 3, succeeded: 1, failed: 1, skipped: 1"
    QString text() const;
};

// kt62-flash --station: every port served board after board (see PortLane),
// each board's outcome shown as it comes, until end() is called.
class Station : public QObject
{
    Q_OBJECT
public:
    // jobs hold the checked image, one per port of request; they outlive
    // the station.
    Station(const Jobs &jobs, const FlashRequest &request, QObject *parent = nullptr);
    ~Station() override;

    void start();
    // The way a station ends, for the handler of SIGINT and SIGTERM: boards
    // in progress are stopped ("interrupted"; nothing more is sent to them),
    // and once none is left the summary goes to standard error (and with
    // --json as the "summary" event), the report is written and the event
    // loop ends with exit_code(). Later calls change nothing.
    void end(int signal_number);
    // 0 when every board succeeded or was skipped, otherwise the highest
    // code among them; 128 + the signal number when the signal interrupted
    // a board. (A report that cannot be written turns 0 into
    // EXIT_REPORT_FAILED as the station ends.)
    int exit_code() const;

signals:
    // The summary is out and the report written.
    void ended(int exit_code);

private:
    void onBoard(int index, const FlashReport &report);
    void finishWhenIdle();
    // False (and said on standard error) when it could not be written.
    bool writeReport(int exit_code) const;

    const FlashRequest &m_request;
    PortCatalog m_catalog;
    RunOutput m_output;
    std::vector<std::unique_ptr<PortLane>> m_lanes;
    QVector<int> m_serials; // boards served per port
    QJsonArray m_devices;   // every board's report entry, with its serial number
    StationTally m_tally;
    bool m_ending = false;
    bool m_ended = false;
    bool m_interrupted = false;
    int m_signal = 0;
};

// Runs a station on the prepared jobs until SIGINT or SIGTERM ends it;
// returns its exit code.
int serve_station(const Jobs &jobs, const FlashRequest &request);

#endif
