#include "history/history_export.h"
#include "production/exit_codes.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

int run_export(const FlashRequest &request)
{
    HistoryTarget target;
    QString error;
    if (!parse_history_target(request.history, &target, &error)) {
        return fail(EXIT_BAD_INPUT,
                    QStringLiteral("the history %1: %2").arg(request.history, error));
    }
    if (!export_history(target, request.filter, request.export_format, stdout, &error)) {
        return fail(EXIT_BAD_INPUT, error);
    }
    return EXIT_UPGRADE_OK;
}
