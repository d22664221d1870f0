#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/job_run.h"
#include "tools/flash/operator_slips.h"
#include "tools/flash/terminal_text.h"

namespace {
// With --json standard output carries events only; the answer goes with
// the human output then.
void print_versions(const FlashReport &report, FILE *stream)
{
    const auto shown = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("unknown") : text;
    };
    // The device's text is not trusted with the terminal.
    print_line(
        stream,
        QStringLiteral("Current version: %1").arg(escape_controls(shown(report.current_version))));
    if (!report.file.isEmpty()) {
        print_line(stream, QStringLiteral("Target version: %1").arg(shown(report.target_version)));
    }
}
} // namespace

int run_check_version(const FlashRequest &request)
{
    const QString report_refusal = report_path_refusal(request);
    if (!report_refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, report_refusal);
    }
    const Jobs jobs = make_jobs(request, JobMode::CheckVersion);
    FlashJob &job = *jobs.front();
    // Only the file's name is checked: a version check sends no image.
    if (!job.prepare()) {
        return refuse_all(jobs, job.report().message, request.report_path);
    }
    const int usable = check_usb_ports(jobs, request);
    if (usable != EXIT_UPGRADE_OK) {
        return usable;
    }
    if (!request.quiet) {
        print_ports(jobs);
    }
    const Reports reports = run_jobs(jobs, request);
    const int code = end_run(reports, request.report_path);
    const FlashReport &report = reports.front();
    if (report.exit_code != EXIT_UPGRADE_OK) {
        return fail(report.exit_code, report.message);
    }
    print_versions(report, request.json ? stderr : stdout);
    return code;
}
