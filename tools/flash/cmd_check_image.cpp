#include "production/exit_codes.h"
#include "production/firmware_input.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

namespace {
// The lines --inspect prints, one "key: value" each.
QStringList inspection_lines(const QString &path, const FirmwareInspection &inspection)
{
    const auto shown = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("unknown") : text;
    };
    const QString header =
        inspection.header_ok
            ? QStringLiteral("ok (0x%1)").arg(inspection.header, 8, 16, QLatin1Char('0'))
            : QStringLiteral("MISMATCH (%1)").arg(header_mismatch_reason(inspection));
    return {QStringLiteral("file: %1").arg(path),
            QStringLiteral("model: %1").arg(shown(inspection.model)),
            QStringLiteral("target version: %1").arg(shown(inspection.version)),
            QStringLiteral("size: %1 bytes").arg(inspection.size),
            QStringLiteral("packets: %1").arg(inspection.packets),
            QStringLiteral("header: %1").arg(header)};
}
} // namespace

int run_inspect(const FlashRequest &request)
{
    const QString &path = request.firmware;
    // Refused on its size alone: reading a file of gigabytes to sum it would
    // take as long as its size, for the same verdict.
    const QString oversize = oversize_refusal(path);
    if (!oversize.isEmpty()) {
        return fail(EXIT_BAD_INPUT, oversize);
    }
    const FirmwareInspection inspection = inspect_firmware(path);
    if (!inspection.readable) {
        return fail(EXIT_BAD_INPUT, inspection.error);
    }
    for (const QString &line : inspection_lines(path, inspection)) {
        print_line(stdout, line);
    }
    // The same verdict an upgrade would reach before sending anything.
    const FirmwareInput input = check_firmware_input(path);
    if (!input.ok) {
        return fail(EXIT_BAD_INPUT, input.error);
    }
    if (!inspection.header_ok) {
        return fail(EXIT_BAD_INPUT, header_refusal(path, inspection));
    }
    const QString empty = empty_image_refusal(path, inspection);
    if (!empty.isEmpty()) {
        return fail(EXIT_BAD_INPUT, empty);
    }
    return EXIT_UPGRADE_OK;
}
