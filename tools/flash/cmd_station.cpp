#include "tools/flash/station.h"
#include "tools/flash/stop_signals.h"

#include <QCoreApplication>

int serve_station(const Jobs &jobs, const FlashRequest &request)
{
    Station station(jobs, request);
    // A signal is the only way a station ends.
    StopSignals stop_signals;
    QObject::connect(&stop_signals, &StopSignals::stopRequested, &station, &Station::end);
    station.start();
    return QCoreApplication::exec();
}
