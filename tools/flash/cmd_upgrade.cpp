#include "tools/flash/cli_output.h"
#include "tools/flash/firmware_input.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/image_table.h"
#include "tools/flash/job_run.h"
#include "tools/flash/operator_slips.h"
#include "tools/flash/station.h"

#include <QFileInfo>

namespace {
constexpr double MS_PER_SECOND = 1000.0;

// Loads the image once, checks it, and hands every job the same packet
// table. Returns EXIT_UPGRADE_OK when all jobs may start.
int prepare_jobs(const Jobs &jobs, const FlashRequest &request)
{
    FlashJob &first = *jobs.front();
    if (!first.prepare()) {
        return refuse_all(jobs, first.report().message, request.report_path);
    }
    if (!request.force) {
        // An image whose header does not match would be erased for and then
        // refused by the device: the board is left without firmware. The
        // table checked is the one that will be sent, not the file again.
        const QString &file = first.report().file;
        const FirmwareInspection inspection = inspect_table(first.engine(), file);
        if (!inspection.header_ok) {
            return refuse_all(jobs, header_refusal(file, inspection), request.report_path);
        }
        const QString empty = empty_image_refusal(file, inspection);
        if (!empty.isEmpty()) {
            return refuse_all(jobs, empty, request.report_path);
        }
    }
    for (std::size_t i = 1; i < jobs.size(); ++i) {
        if (!jobs[i]->prepare(&first)) {
            return refuse_all(jobs, jobs[i]->report().message, request.report_path);
        }
    }
    return EXIT_UPGRADE_OK;
}

void describe_image(const FlashReport &report)
{
    const auto shown = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("unknown") : text;
    };
    print_line(stderr, QStringLiteral("Firmware %1: %2 bytes in %3 packets, model %4, version %5")
                           .arg(QFileInfo(report.file).fileName())
                           .arg(report.size)
                           .arg(report.packets)
                           .arg(shown(report.device_model))
                           .arg(shown(report.target_version)));
}

void summarise(const FlashReport &report, const QString &prefix = QString())
{
    print_line(stderr, prefix + QStringLiteral("%1 in %2 s: %3 blocks sent, %4 repeated, %5 NAKs")
                                    .arg(job_result_name(report.result))
                                    .arg(double(report.end_at) / MS_PER_SECOND, 0, 'f', 1)
                                    .arg(report.blocks_sent)
                                    .arg(report.repeats)
                                    .arg(report.naks));
}

int end_one_port(const FlashReport &report, int run_code, bool quiet)
{
    if (report.exit_code != EXIT_UPGRADE_OK) {
        fail(report.exit_code, report.message);
    } else if (!quiet) {
        summarise(report);
    }
    return run_code;
}

// Every port's outcome on lines of their own, then the count of good ones.
int end_parallel(const Reports &reports, int run_code, bool quiet)
{
    int upgraded = 0;
    for (const FlashReport &report : reports) {
        const QString prefix = report.port + QStringLiteral(": ");
        if (report.exit_code != EXIT_UPGRADE_OK) {
            fail(report.exit_code, prefix + report.message);
        } else if (!quiet) {
            summarise(report, prefix);
        }
        upgraded += report.exit_code == EXIT_UPGRADE_OK ? 1 : 0;
    }
    if (!quiet) {
        print_line(stderr,
                   QStringLiteral("%1 of %2 ports upgraded").arg(upgraded).arg(reports.size()));
    }
    return run_code;
}
} // namespace

int run_upgrade(const FlashRequest &request)
{
    // Before anything else: the refusals below write the report.
    const QString report_refusal = report_path_refusal(request);
    if (!report_refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, report_refusal);
    }
    const Jobs jobs = make_jobs(request, JobMode::Upgrade);
    const QString same_device = same_device_refusal(request.ports);
    if (!same_device.isEmpty()) {
        return refuse_all(jobs, same_device, request.report_path);
    }
    const int prepared = prepare_jobs(jobs, request);
    if (prepared != EXIT_UPGRADE_OK) {
        return prepared;
    }
    const int usable = check_usb_ports(jobs, request);
    if (usable != EXIT_UPGRADE_OK) {
        return usable;
    }
    if (!request.quiet) {
        describe_image(jobs.front()->report());
        print_ports(jobs);
    }
    if (request.mode == FlashRequest::Mode::Station) {
        return serve_station(jobs, request);
    }
    const Reports reports = run_jobs(jobs, request);
    const int code = end_run(reports, request.report_path);
    return reports.size() == 1 ? end_one_port(reports.front(), code, request.quiet)
                               : end_parallel(reports, code, request.quiet);
}
