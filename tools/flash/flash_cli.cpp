#include "tools/flash/flash_cli.h"

#include "tools/flash/cli_output.h"
#include "tools/flash/flash_args.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/job_run.h"

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
        return run_upgrade(request);
    case FlashRequest::Mode::CheckVersion:
        return run_check_version(request);
    case FlashRequest::Mode::Inspect:
        return run_inspect(request);
    case FlashRequest::Mode::Encrypt:
        return run_encrypt(request);
    case FlashRequest::Mode::ListPorts:
        return run_list_ports(request);
    case FlashRequest::Mode::Help:
        std::fputs(flash_help_text().toLocal8Bit().constData(), stdout);
        return EXIT_UPGRADE_OK;
    case FlashRequest::Mode::Version:
        print_line(stdout, flash_version_text());
        return EXIT_UPGRADE_OK;
    }
    return EXIT_BAD_INPUT;
}
} // namespace

int run_flash_cli(int argc, char *argv[])
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
