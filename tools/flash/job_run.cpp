#include "tools/flash/job_run.h"

#include "tools/flash/cli_output.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/operator_slips.h"
#include "tools/flash/progress_display.h"
#include "tools/flash/stop_signals.h"

#include <QCoreApplication>

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
ProgressDisplay::Style display_style(const FlashRequest &request)
{
    if (request.quiet) {
        return ProgressDisplay::Style::Quiet;
    }
    // A bar redrawn in place only makes sense where someone watches it, and
    // not when the trace would be printed across it.
    return KT62_ISATTY(KT62_FILENO(stderr)) && !request.verbose ? ProgressDisplay::Style::Bar
                                                                : ProgressDisplay::Style::Lines;
}

// How a port's run ended, for its line of a parallel display.
QString result_line(const FlashReport &report)
{
    const QString result = job_result_name(report.result);
    return report.exit_code == EXIT_UPGRADE_OK ? result
                                               : result + QStringLiteral(": ") + report.message;
}

void write_run_report(const Jobs &jobs, int exit_code, const QString &path)
{
    if (path.isEmpty()) {
        return;
    }
    QVector<FlashReport> reports;
    for (const auto &job : jobs) {
        reports << job->report();
    }
    QString error;
    if (!write_report(reports, exit_code, path, &error)) {
        fail(exit_code, QStringLiteral("cannot write the report %1: %2").arg(path, error));
    }
}
} // namespace

Jobs make_jobs(const FlashRequest &request, JobMode mode)
{
    JobSettings settings;
    settings.mode = mode;
    settings.firmware = request.firmware;
    settings.timeout_ms = request.timeout_ms;
    settings.erase_timeout_ms = request.erase_timeout_ms;
    Jobs jobs;
    for (const QString &port : request.ports) {
        settings.port = port_to_open(port);
        jobs.push_back(std::make_unique<FlashJob>(settings));
    }
    return jobs;
}

int refuse_all(const Jobs &jobs, const QString &message, const QString &report_path)
{
    for (const auto &job : jobs) {
        job->refuse(message);
    }
    write_run_report(jobs, EXIT_BAD_INPUT, report_path);
    return fail(EXIT_BAD_INPUT, message);
}

void print_ports(const Jobs &jobs)
{
    QStringList ports;
    for (const auto &job : jobs) {
        ports << job->report().port;
    }
    const QString label =
        ports.size() == 1 ? QStringLiteral("Port %1") : QStringLiteral("Ports %1");
    print_line(stderr, label.arg(ports.join(QStringLiteral(", "))));
}

void run_jobs(const Jobs &jobs, const FlashRequest &request)
{
    QStringList ports;
    for (const auto &job : jobs) {
        ports << job->report().port;
    }
    RunDisplay display(ports, display_style(request), stderr);
    StopSignals stop;
    // Declared after the display and the signals, so it goes first and takes
    // the connections to them with it.
    QObject receiver;
    // A stop signal ends every run still going; each then finishes as any
    // run does, so the loop below ends as ever.
    QObject::connect(&stop, &StopSignals::stopRequested, &receiver, [&jobs](int signal_number) {
        for (const auto &job : jobs) {
            job->interrupt(signal_number, StopSignals::name(signal_number));
        }
    });
    // All ports run on this one event loop; a port that ends, however it
    // ends, leaves the others running.
    std::size_t running = jobs.size();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        FlashJob *job = jobs[i].get();
        const int port = int(i);
        QObject::connect(job, &FlashJob::status, &receiver,
                         [&display, port](const QString &text) { display.status(port, text); });
        QObject::connect(job, &FlashJob::progress, &receiver,
                         [&display, port](int percent, qint64 bytes, qint64 total, qint64 ms) {
                             display.progress(port, percent, bytes, total, ms);
                         });
        QObject::connect(job, &FlashJob::finished, &receiver, [&display, &running, job, port] {
            display.result(port, result_line(job->report()));
            if (--running == 0) {
                QCoreApplication::exit(EXIT_UPGRADE_OK);
            }
        });
    }
    for (const auto &job : jobs) {
        job->start();
    }
    QCoreApplication::exec();
    display.end();
}

int end_run(const Jobs &jobs, const QString &report_path)
{
    int code = EXIT_UPGRADE_OK;
    for (const auto &job : jobs) {
        code = qMax(code, job->report().exit_code);
    }
    write_run_report(jobs, code, report_path);
    return code;
}
