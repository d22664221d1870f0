#include "tools/flash/run_output.h"

#include "common/units.h"
#include "production/exit_codes.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/report_file.h"

#ifdef Q_OS_WIN
#include <io.h>
#define KT62_ISATTY(fd) _isatty(fd)
#define KT62_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define KT62_ISATTY(fd) isatty(fd)
#define KT62_FILENO(f) fileno(f)
#endif

namespace {
// Quiet, a display redrawn in place on a terminal, plain lines otherwise. A
// station always writes lines: its boards' outcomes are lines of their own
// between the progress.
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
} // namespace

QString result_line(const FlashReport &report)
{
    const QString result = job_result_name(report.result);
    return report.exit_code == EXIT_UPGRADE_OK ? result
                                               : result + QStringLiteral(": ") + report.message;
}

QString board_figures(const FlashReport &report)
{
    return QStringLiteral("%1 in %2 s: %3 blocks sent, %4 repeated, %5 NAKs")
        .arg(job_result_name(report.result))
        .arg(double(report.end_at) / MS_PER_SECOND, 0, 'f', 1)
        .arg(report.blocks_sent)
        .arg(report.repeats)
        .arg(report.naks);
}

RunOutput::RunOutput(const ProductionRun &run, const FlashRequest &request) : m_request(request)
{
    const ProgressDisplay::Style style = display_style(request);
    const QStringList &ports = request.ports;
    if (ports.size() > 1 && style == ProgressDisplay::Style::Bar) {
        m_parallel = std::make_unique<ParallelDisplay>(ports, stderr);
    } else {
        for (const QString &port : ports) {
            m_lines.emplace_back(style, stderr,
                                 ports.size() > 1 ? port + QStringLiteral(": ") : QString());
        }
    }
    if (request.json) {
        m_events = std::make_unique<JsonEvents>(stdout);
    }
    QObject::connect(&run, &ProductionRun::attemptStarted, &m_context,
                     [this](int index, const FlashReport &attempt) {
                         // A parallel display's line shows whatever comes next anyway.
                         if (!m_parallel) {
                             m_lines.at(std::size_t(index)).restart();
                         }
                         if (m_events) {
                             m_events->start(attempt);
                         }
                     });
    QObject::connect(&run, &ProductionRun::portPhase, &m_context,
                     [this](int index, UpgradePhase phase) {
                         if (m_events) {
                             m_events->phase(m_request.ports.at(index), phase);
                         }
                     });
    QObject::connect(&run, &ProductionRun::portStatus, &m_context,
                     [this](int index, const QString &text) { status(index, text); });
    QObject::connect(
        &run, &ProductionRun::portProgress, &m_context,
        [this](int index, int percent, qint64 bytes, qint64 total, qint64 elapsed_ms) {
            if (m_parallel) {
                m_parallel->progress(index, percent, bytes, total, elapsed_ms);
            } else {
                m_lines.at(std::size_t(index)).progress(percent, bytes, total, elapsed_ms);
            }
            if (m_events) {
                m_events->progress(m_request.ports.at(index), percent, bytes, total);
            }
        });
    QObject::connect(&run, &ProductionRun::boardFinished, &m_context,
                     [this](int index, const FlashReport &report, int serial) {
                         // The summary lines come after the run; only a parallel
                         // display shows the result on the port's line.
                         if (m_parallel) {
                             m_parallel->status(index, result_line(report));
                         }
                         if (m_events) {
                             m_events->result(report);
                         }
                         onBoard(report, serial);
                     });
}

void RunOutput::status(int index, const QString &text)
{
    if (m_parallel) {
        m_parallel->status(index, text);
    } else {
        m_lines.at(std::size_t(index)).status(text);
    }
}

void RunOutput::end()
{
    if (m_parallel) {
        m_parallel->flush();
    }
    for (ProgressDisplay &line : m_lines) {
        line.endLine();
    }
}

void RunOutput::onBoard(const FlashReport &report, int serial)
{
    if (m_request.mode != FlashRequest::Mode::Station) {
        return;
    }
    QJsonObject entry = report_json(report);
    entry.insert(QStringLiteral("serial"), serial);
    m_devices.append(entry);
    const QString prefix = QStringLiteral("%1: board %2: ").arg(report.port).arg(serial);
    if (report.exit_code != EXIT_UPGRADE_OK) {
        fail(report.exit_code, prefix + report.message);
    } else if (!m_request.quiet) {
        print_line(stderr, prefix + board_figures(report));
    }
    if (m_events) {
        m_events->device(report, serial);
    }
}
