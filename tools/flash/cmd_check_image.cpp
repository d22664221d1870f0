#include "tools/flash/cli_output.h"
#include "tools/flash/firmware_input.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/flash_exit.h"

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
