#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

int run_encrypt(const FlashRequest &request)
{
    const QString &plain = request.plain;
    const QString refusal = encryption_refusal(plain, request.output_dir);
    if (!refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, refusal);
    }
    const QString output = encrypted_output_path(request.output_dir, plain);
    const EncryptResult result = encrypt_firmware_file(plain, output);
    switch (result.status) {
    case EncryptStatus::Ok:
        break;
    case EncryptStatus::SourceUnreadable:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: cannot be read").arg(plain));
    case EncryptStatus::SourceTooLarge:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: larger than %2 bytes, the most that can be "
                                                   "encrypted")
                                        .arg(plain)
                                        .arg(ENCRYPT_BUFFER_SIZE));
    case EncryptStatus::OutputFailed:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: cannot be written").arg(output));
    }
    if (!request.quiet) {
        print_line(stderr, QStringLiteral("Encrypted %1 bytes, checksum 0x%2")
                               .arg(result.plain_size)
                               .arg(result.checksum, 8, 16, QLatin1Char('0')));
    }
    print_line(stdout, output);
    return EXIT_UPGRADE_OK;
}
