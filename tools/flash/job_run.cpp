#include "tools/flash/job_run.h"

#include "tools/flash/cli_output.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/operator_slips.h"
#include "tools/flash/port_finder.h"
#include "tools/flash/run_output.h"
#include "tools/flash/stop_signals.h"

#include <QCoreApplication>

namespace {
// False (and said on standard error) when the report could not be written.
bool write_run_report(const Reports &reports, int exit_code, const QString &path,
                      const QString &message = QString())
{
    if (path.isEmpty()) {
        return true;
    }
    QString error;
    if (!write_report(reports, exit_code, path, &error, message)) {
        fail(exit_code, QStringLiteral("cannot write the report %1: %2").arg(path, error));
        return false;
    }
    return true;
}

Reports reports_of(const Jobs &jobs)
{
    Reports reports;
    for (const auto &job : jobs) {
        reports << job->report();
    }
    return reports;
}
} // namespace

namespace {
// What every run of the request is given, whatever its port.
JobSettings job_settings(const FlashRequest &request, JobMode mode)
{
    JobSettings settings;
    settings.mode = mode;
    settings.firmware = request.firmware;
    settings.timeout_ms = request.timeout_ms;
    settings.erase_timeout_ms = request.erase_timeout_ms;
    settings.skip_same = request.skip_same;
    return settings;
}
} // namespace

Jobs make_jobs(const FlashRequest &request, JobMode mode)
{
    JobSettings settings = job_settings(request, mode);
    Jobs jobs;
    for (const QString &port : request.ports) {
        settings.port = port_to_open(port);
        jobs.push_back(std::make_unique<FlashJob>(settings));
    }
    return jobs;
}

LaneSettings lane_settings(const FlashRequest &request, JobMode mode)
{
    LaneSettings settings;
    settings.job = job_settings(request, mode);
    settings.retries = request.retries;
    settings.wait = request.wait;
    settings.station = request.mode == FlashRequest::Mode::Station;
    return settings;
}

int check_usb_ports(const Jobs &jobs, const FlashRequest &request)
{
    PortCatalog catalog;
    const bool may_wait = request.wait || request.mode == FlashRequest::Mode::Station;
    const QString refusal = usb_refusal(request.ports, may_wait, catalog);
    return refusal.isEmpty() ? int(EXIT_UPGRADE_OK)
                             : refuse_all(jobs, refusal, request.report_path);
}

int refuse_all(const Jobs &jobs, const QString &message, const QString &report_path)
{
    for (const auto &job : jobs) {
        job->refuse(message);
    }
    write_run_report(reports_of(jobs), EXIT_BAD_INPUT, report_path, message);
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

Reports run_jobs(const Jobs &jobs, const FlashRequest &request)
{
    QStringList ports;
    for (const auto &job : jobs) {
        ports << job->report().port;
    }
    PortCatalog catalog;
    RunOutput output(ports, request);
    StopSignals stop;
    // Declared after the output and the signals, so it goes first and takes
    // the connections to them with it.
    QObject receiver;
    std::vector<std::unique_ptr<PortLane>> lanes;
    Reports reports(int(jobs.size()));
    // A stop signal ends every port still going (a run, or a wait for the
    // port); each then finishes as any port does, so the loop below ends as
    // ever.
    QObject::connect(&stop, &StopSignals::stopRequested, &receiver, [&lanes](int signal_number) {
        const QString message =
            QStringLiteral("interrupted by %1").arg(StopSignals::name(signal_number));
        for (const auto &lane : lanes) {
            lane->stop(JobResult::Interrupted, EXIT_SIGNAL_BASE + signal_number, message);
        }
    });
    // All ports run on this one event loop; a port that ends, however it
    // ends, leaves the others running.
    int running = int(jobs.size());
    for (int i = 0; i < int(jobs.size()); ++i) {
        const FlashJob &job = *jobs[std::size_t(i)];
        lanes.push_back(std::make_unique<PortLane>(
            ports.at(i), lane_settings(request, job.report().mode), job, catalog));
        output.follow(*lanes.back(), i, &receiver);
        QObject::connect(lanes.back().get(), &PortLane::boardFinished, &receiver,
                         [&reports, &running, i](const FlashReport &report) {
                             reports[i] = report;
                             if (--running == 0) {
                                 QCoreApplication::exit(EXIT_UPGRADE_OK);
                             }
                         });
    }
    for (const auto &lane : lanes) {
        lane->start();
    }
    // A lane can end as it starts (a USB identity gone meanwhile); the loop
    // would then wait for nothing.
    if (running > 0) {
        QCoreApplication::exec();
    }
    output.end();
    return reports;
}

int end_run(const Reports &reports, const QString &report_path)
{
    int code = EXIT_UPGRADE_OK;
    for (const FlashReport &report : reports) {
        code = qMax(code, report.exit_code);
    }
    if (!write_run_report(reports, code, report_path)) {
        // A good run without the report it was asked for is no good run for
        // the script that reads it; a failed run keeps its own code.
        return code == EXIT_UPGRADE_OK ? int(EXIT_REPORT_FAILED) : code;
    }
    return code;
}

int refuse_usage(const FlashRequest &request, const QString &message)
{
    if (request.report_path.isEmpty()) {
        return EXIT_BAD_INPUT;
    }
    // Never written over an input or something that is no file, even to
    // say that the command line was wrong.
    const QString refusal = report_path_refusal(request);
    if (!refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, refusal);
    }
    const JobMode mode =
        request.mode == FlashRequest::Mode::CheckVersion ? JobMode::CheckVersion : JobMode::Upgrade;
    Reports reports;
    for (const QString &port : request.ports) {
        FlashReport report;
        report.mode = mode;
        report.port = port;
        report.file = request.firmware;
        report.result = JobResult::BadInput;
        report.message = message;
        report.exit_code = EXIT_BAD_INPUT;
        reports << report;
    }
    write_run_report(reports, EXIT_BAD_INPUT, request.report_path, message);
    return EXIT_BAD_INPUT;
}
