#ifndef KT62_BOARD_RECORD_H
#define KT62_BOARD_RECORD_H

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantList>

// The result column of a board whose run has begun and not ended: what a
// station that died mid-board leaves behind.
extern const char *const BOARD_STARTED;

// One board (or one port's run) in the history: one row of the table.
// Texts left empty are stored as NULL (unknown); so are the phase durations
// below zero and an exit code below zero.
struct BoardRecord
{
    qint64 id = -1;       // given by the database when the row is written; -1 before
    QDateTime started;    // UTC, to the millisecond
    QDateTime ended;      // UTC; invalid (NULL) while the board is in progress
    QString station;      // the host name, or the station's own name
    QString port;         // as the operator gave it: a name, a path or usb:VVVV:PPPP[:SERIAL]
    QString system_port;  // the port opened for it
    QString usb_identity; // usb:VVVV:PPPP[:SERIAL] of the adapter, when it is one
    QString device_model;
    QString version_before; // what the device ran before the run
    QString target_version; // the image's version
    QString image_file;     // the firmware file's name
    QString image_sha256;   // of the firmware file, 64 lower-case hex digits
    // The run's result name ("success", "device failure", "bad input", "port
    // error", "timeout", "skipped", "premature success", "interrupted"), or
    // BOARD_STARTED while it runs.
    QString result;
    int exit_code = -1;
    QString message;
    int attempts = 0;
    qint64 blocks_sent = 0;
    qint64 blocks_acknowledged = 0;
    qint64 repeats = 0;
    qint64 naks = 0;
    // How long each phase took, in seconds; below zero for a phase not reached.
    double query_seconds = -1;
    double erase_seconds = -1;
    double transfer_seconds = -1;
    double completion_seconds = -1;
};
Q_DECLARE_METATYPE(BoardRecord)

// The columns of a row, in the order the export writes them; a record's
// values come and go in this order.
const QStringList &board_columns();
// The record's values in column order, NULL (an invalid QVariant) where the
// record holds no value; and a record from such values.
QVariantList board_values(const BoardRecord &record);
BoardRecord board_from_values(const QVariantList &values);
// One JSON object with every column as its key, null for NULL.
QJsonObject board_to_json(const BoardRecord &record);

// The form of started and ended in the database and the export:
// 2026-12-07T10:11:12.345Z. Every value has the same width, so the texts
// sort as the times do.
QString history_time_text(const QDateTime &time);
QDateTime history_time_from_text(const QString &text);

#endif
