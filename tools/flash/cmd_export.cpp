#include "history/history_export.h"
#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

int run_export(const FlashRequest &request)
{
    HistoryTarget target;
    QString error = history_target_refusal(request.history, &target);
    if (!error.isEmpty()) {
        return fail(EXIT_BAD_INPUT, error);
    }
    if (!export_history(target, request.filter, request.export_format, stdout, &error)) {
        return fail(EXIT_BAD_INPUT, error);
    }
    return EXIT_UPGRADE_OK;
}
