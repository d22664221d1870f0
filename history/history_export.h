#ifndef KT62_HISTORY_EXPORT_H
#define KT62_HISTORY_EXPORT_H

#include "history/board_record.h"
#include "history/history_db.h"
#include "history/history_target.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdio>
#include <functional>

class QIODevice;

// Which rows to read: those started at or after since (UTC; invalid: all),
// with the result name result (empty: any, "started" included).
struct HistoryFilter
{
    QDateTime since;
    QString result;
};

enum class ExportFormat
{
    Csv,       // RFC 4180: a header line of the column names, CRLF line ends
    JsonLines, // one object per row, null for NULL
};

// --since: a date (2026-12-07, from its midnight) or a date and time
// (2026-12-07T10:30, 2026-12-07 10:30:15, seconds optional, a trailing Z
// allowed), always UTC. False with a one-line *error otherwise.
bool parse_since(const QString &text, QDateTime *since, QString *error);
// --export: "csv" or "json".
bool parse_export_format(const QString &text, ExportFormat *format, QString *error);

// Reads the rows that pass filter, in the order of their ids, and hands
// each to each (which returns false to stop). Synchronous, on a connection
// of the caller's thread made for the call; an older schema is migrated
// first, a newer one refused, a missing SQLite file is an error.
bool read_history(const HistoryTarget &target, const HistoryFilter &filter,
                  const std::function<bool(const BoardRecord &)> &each, QString *error,
                  const HistoryLimits &limits = HistoryLimits());

// Writes the rows that pass filter to out in format; false with *error
// when the history cannot be read or out cannot be written.
bool export_history(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format,
                    QIODevice *out, QString *error);
bool export_history(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format,
                    FILE *out, QString *error);

// The lines themselves, each with its line end.
QByteArray csv_header();
QByteArray csv_line(const BoardRecord &record);
QByteArray json_line(const BoardRecord &record);

#endif
