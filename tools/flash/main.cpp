// kt62-flash: parses the command line, runs what it asks for on a
// QCoreApplication and returns the exit code (production/exit_codes.h).
#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_args.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/report_file.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
bool g_verbose = false;
QtMessageHandler g_default_handler = nullptr;

// The engine and the channel trace every frame to the debug log; on a
// terminal that would bury the progress, so it is shown only on request.
void filter_messages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !g_verbose) {
        return;
    }
    g_default_handler(type, context, message);
}

int dispatch(const FlashRequest &request)
{
    switch (request.mode) {
    case FlashRequest::Mode::Upgrade:
    case FlashRequest::Mode::Station:
    case FlashRequest::Mode::CheckVersion:
        return run_ports(request);
    case FlashRequest::Mode::Inspect:
        return run_inspect(request);
    case FlashRequest::Mode::Encrypt:
        return run_encrypt(request);
    case FlashRequest::Mode::ListPorts:
        return run_list_ports(request);
    case FlashRequest::Mode::Export:
        return run_export(request);
    case FlashRequest::Mode::Help:
        std::fputs(flash_help_text().toLocal8Bit().constData(), stdout);
        return EXIT_UPGRADE_OK;
    case FlashRequest::Mode::Version:
        print_line(stdout, flash_version_text());
        return EXIT_UPGRADE_OK;
    }
    return EXIT_BAD_INPUT;
}

// A command line refused as bad usage: once the report's path is known its
// report says so (exit code 2, message, one "bad input" entry per port given),
// so that an earlier run's report cannot pass for this run's.
int refuse_usage(const FlashRequest &request, const QString &message)
{
    if (request.report_path.isEmpty()) {
        return EXIT_BAD_INPUT;
    }
    // Never written over an input or something that is no file, even to
    // say that the command line was wrong.
    const QString refusal =
        report_path_refusal(request.report_path, request.firmware, request.ports);
    if (!refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, refusal);
    }
    QVector<FlashReport> reports;
    for (const QString &port : request.ports) {
        FlashReport report;
        report.mode = request.mode == FlashRequest::Mode::CheckVersion ? JobMode::CheckVersion
                                                                       : JobMode::Upgrade;
        report.port = port;
        report.file = request.firmware;
        report.result = JobResult::BadInput;
        report.message = message;
        report.exit_code = EXIT_BAD_INPUT;
        reports << report;
    }
    write_report(ports_report(reports, EXIT_BAD_INPUT, message), request.report_path);
    return EXIT_BAD_INPUT;
}
} // namespace

int main(int argc, char *argv[])
{
    survive_closed_output();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kt62-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KT62_VERSION));

    const FlashArgs args = parse_flash_args(QCoreApplication::arguments());
    if (!args.ok()) {
        fail(EXIT_BAD_INPUT, args.error);
        return refuse_usage(args.request, args.reason());
    }
    g_verbose = args.request.verbose;
    g_default_handler = qInstallMessageHandler(filter_messages);
    return dispatch(args.request);
}
