#ifndef KT62_REPORT_FILE_H
#define KT62_REPORT_FILE_H

#include "production/job_report.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

// kt62-flash's --report and the JSON forms its events share.

// A text, or null where it is empty (unknown).
QJsonValue text_or_null(const QString &text);
// One port's (or board's) entry: what the run did, the duration of each
// phase ("phases", null for a phase not reached) and the limit each phase
// had ("phase_limits").
QJsonObject report_json(const FlashReport &report);
// {"served": N, "succeeded": N, "failed": N, "skipped": N}
QJsonObject tally_json(const RunTally &tally);

// The report of a run: {"exit_code", ["message",] "ports": [one entry per
// port, in the order given]} (one port is no special case, so scripts read
// one format); the message only for a run refused as a whole.
QJsonObject ports_report(const QVector<FlashReport> &reports, int exit_code,
                         const QString &message = QString());
// A station's: {"exit_code", "summary", "devices": [one entry per board]}.
QJsonObject station_report(const RunTally &tally, const QJsonArray &devices, int exit_code);

// Writes the report to path (when one is given) as indented JSON, replacing
// a regular file or making a new one, never anything else. False, said on
// standard error, when it could not be written.
bool write_report(const QJsonObject &report, const QString &path);

#endif
