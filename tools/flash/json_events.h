#ifndef KT62_JSON_EVENTS_H
#define KT62_JSON_EVENTS_H

#include "production/job_report.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <cstdio>

// What a station program follows live with --json: one JSON object per line
// and event, each starting with "event", "port" and "t" (seconds since the
// stream began), written and flushed as it happens:
//   start     a port's run begins (again, on a retry): "attempt", "mode",
//             "system_port", "file", "size", "packets", "device_model",
//             "target_version"
//   phase     the run entered "phase": query, erase, transfer or completion
//   progress  "bytes" of "total" acknowledged, "percent"; at most
//             MAX_PROGRESS_PER_SECOND a second per port, and always the last
//   result    how the port ended: the fields of its entry in the report
//   device    a station's board ended: its running "serial" number on the
//             port, "result", "exit_code", "attempts", "message"
//   summary   the station ended ("port" is null): "served", "succeeded",
//             "failed", "skipped", "exit_code"
// Once a write fails (its reader has gone) no more events are written, and
// standard error says so once; nothing else changes.
class JsonEvents
{
public:
    static constexpr int MAX_PROGRESS_PER_SECOND = 5;

    explicit JsonEvents(FILE *out);

    void start(const FlashReport &attempt);
    void phase(const QString &port, UpgradePhase phase);
    void progress(const QString &port, int percent, qint64 bytes, qint64 total);
    void result(const FlashReport &report);
    void device(const FlashReport &report, int serial);
    void summary(const QJsonObject &tally, int exit_code);

private:
    // A progress line held back by the rate limit, written before the
    // port's next event so that the last one always shows.
    struct HeldProgress
    {
        qint64 last_written_ms = -1;
        bool holding = false;
        qint64 at_ms = 0;
        QJsonObject fields;
    };

    void write(const QString &event, const QString &port, qint64 at_ms, const QJsonObject &fields);
    void release(const QString &port);

    FILE *m_out;
    bool m_closed = false; // a write failed: its reader has gone
    QElapsedTimer m_clock;
    QHash<QString, HeldProgress> m_progress;
};

#endif
