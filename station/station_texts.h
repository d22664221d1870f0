#ifndef KT62_STATION_TEXTS_H
#define KT62_STATION_TEXTS_H

#include "station/station_controller.h"

#include <QCoreApplication>
#include <QString>

// The words the station's widgets give the production core's facts, in the
// language of the moment.
class StationTexts
{
    Q_DECLARE_TR_FUNCTIONS(StationTexts)
public:
    static QString activity(const PortTileModel &tile);
    // A verdict with the symbol that carries its meaning without its colour.
    static QString verdict(PortTileModel::Verdict verdict);
    // A result as the history and the reports name it ("device failure").
    static QString result(const QString &result_name);
    // Why a port does not open, with the group to join where one is known.
    static QString problem(const PortTileModel &tile);
    static QString rate(qint64 bytes_per_second);
    static QString seconds(double seconds);
};

#endif
