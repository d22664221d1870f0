#include "tools/flash/run_output.h"

#include "tools/flash/flash_exit.h"
#include "tools/flash/port_lane.h"

#ifdef Q_OS_WIN
#include <io.h>
#define KT62_ISATTY(fd) _isatty(fd)
#define KT62_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define KT62_ISATTY(fd) isatty(fd)
#define KT62_FILENO(f) fileno(f)
#endif

ProgressDisplay::Style display_style(const FlashRequest &request)
{
    if (request.quiet) {
        return ProgressDisplay::Style::Quiet;
    }
    // A bar redrawn in place only makes sense where someone watches it, and
    // not when the trace would be printed across it.
    const bool watched = KT62_ISATTY(KT62_FILENO(stderr)) && !request.verbose;
    return watched && request.mode != FlashRequest::Mode::Station ? ProgressDisplay::Style::Bar
                                                                  : ProgressDisplay::Style::Lines;
}

QString result_line(const FlashReport &report)
{
    const QString result = job_result_name(report.result);
    return report.exit_code == EXIT_UPGRADE_OK ? result
                                               : result + QStringLiteral(": ") + report.message;
}

RunOutput::RunOutput(const QStringList &ports, const FlashRequest &request)
    : m_display(ports, display_style(request), stderr)
{
    if (request.json) {
        m_events = std::make_unique<JsonEvents>(stdout);
    }
}

void RunOutput::follow(PortLane &lane, int index, QObject *context)
{
    RunDisplay &display = m_display;
    JsonEvents *events = m_events.get();
    const QString port = lane.port();
    QObject::connect(&lane, &PortLane::attemptStarted, context,
                     [&display, events, index](const FlashReport &attempt) {
                         display.restart(index);
                         if (events) {
                             events->start(attempt);
                         }
                     });
    QObject::connect(&lane, &PortLane::phaseEntered, context, [events, port](UpgradePhase phase) {
        if (events) {
            events->phase(port, phase);
        }
    });
    QObject::connect(&lane, &PortLane::status, context,
                     [&display, index](const QString &text) { display.status(index, text); });
    QObject::connect(&lane, &PortLane::progress, context,
                     [&display, events, index, port](int percent, qint64 bytes, qint64 total,
                                                     qint64 elapsed_ms) {
                         display.progress(index, percent, bytes, total, elapsed_ms);
                         if (events) {
                             events->progress(port, percent, bytes, total);
                         }
                     });
    QObject::connect(&lane, &PortLane::boardFinished, context,
                     [&display, events, index](const FlashReport &report) {
                         display.result(index, result_line(report));
                         if (events) {
                             events->result(report);
                         }
                     });
}
