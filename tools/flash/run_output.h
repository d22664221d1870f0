#ifndef KT62_RUN_OUTPUT_H
#define KT62_RUN_OUTPUT_H

#include "tools/flash/flash_args.h"
#include "tools/flash/json_events.h"
#include "tools/flash/progress_display.h"

#include <QObject>
#include <QStringList>

#include <memory>

class PortLane;

// How the progress goes to standard error: quiet, a display redrawn in place
// on a terminal, plain lines otherwise. A station always writes lines: its
// boards' outcomes are lines of their own between the progress.
ProgressDisplay::Style display_style(const FlashRequest &request);

// How a port's run ended, in a word or with the reason: "success",
// "timeout: no answer from the device for 30 s".
QString result_line(const FlashReport &report);

// What a run shows while it goes: its progress on standard error, and with
// --json its events on standard output.
class RunOutput
{
public:
    RunOutput(const QStringList &ports, const FlashRequest &request);

    // Shows what lane does as port number index; the connections go with
    // context.
    void follow(PortLane &lane, int index, QObject *context);
    // Null without --json.
    JsonEvents *events() const { return m_events.get(); }
    // Leaves standard error ready for the lines that follow the run.
    void end() { m_display.end(); }

private:
    RunDisplay m_display;
    std::unique_ptr<JsonEvents> m_events;
};

#endif
