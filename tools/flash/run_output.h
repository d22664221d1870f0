#ifndef KT62_RUN_OUTPUT_H
#define KT62_RUN_OUTPUT_H

#include "production/production_run.h"
#include "tools/flash/flash_args.h"
#include "tools/flash/json_events.h"
#include "tools/flash/progress_display.h"

#include <QJsonArray>
#include <QObject>

#include <memory>
#include <vector>

// How a port's run ended, in a word or with the reason: "success",
// "timeout: no answer from the device for 30 s".
QString result_line(const FlashReport &report);
// "success in 12.3 s: 21 blocks sent, 0 repeated, 0 NAKs"
QString board_figures(const FlashReport &report);

// What a run shows while it goes: its progress and news on standard error (a
// display redrawn in place on a terminal, plain lines otherwise, nothing with
// --quiet), each board's outcome in a station, and with --json its events on
// standard output. A station's boards are kept for its report.
class RunOutput
{
public:
    RunOutput(const ProductionRun &run, const FlashRequest &request);

    // Null without --json.
    JsonEvents *events() const { return m_events.get(); }
    // A station's boards, each its report entry with its "serial".
    const QJsonArray &devices() const { return m_devices; }
    // Leaves standard error ready for the lines that follow the run.
    void end();

private:
    void status(int index, const QString &text);
    void onBoard(const FlashReport &report, int serial);

    const FlashRequest &m_request;
    // For several ports on a terminal, one line per port redrawn in place;
    // otherwise a display per port, its plain lines starting with the port
    // when there are several.
    std::unique_ptr<ParallelDisplay> m_parallel;
    std::vector<ProgressDisplay> m_lines;
    std::unique_ptr<JsonEvents> m_events;
    QJsonArray m_devices;
    QObject m_context; // the connections to the run go with the output
};

#endif
