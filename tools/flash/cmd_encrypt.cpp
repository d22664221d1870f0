#include "firmware/file_target.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

#include <QFileInfo>

namespace {
// The same refusals as the encryption dialog: an encrypted name must come
// out carrying the model and version exactly once. Empty when plain is fit.
QString plain_image_refusal(const QString &plain, const QString &output_dir)
{
    const QFileInfo info(plain);
    if (!info.exists()) {
        return QStringLiteral("%1: no such file").arg(plain);
    }
    if (!info.isFile()) {
        return QStringLiteral("%1: not a regular file").arg(plain);
    }
    if (path_has_marker(plain)) {
        return QStringLiteral("%1: the path already holds \"_V\"; is it encrypted already?")
            .arg(plain);
    }
    if (!file_name_of(plain).contains(QLatin1Char('_'))) {
        return QStringLiteral("%1: the name needs a \"_\" between model and version, as in "
                              "KT62_01.02.03.04.bin")
            .arg(plain);
    }
    if (!QFileInfo(output_dir).isDir()) {
        return QStringLiteral("%1: no such directory").arg(output_dir);
    }
    return QString();
}
} // namespace

int run_encrypt(const FlashRequest &request)
{
    const QString &plain = request.plain;
    const QString refusal = plain_image_refusal(plain, request.output_dir);
    if (!refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, refusal);
    }
    const QString output = encrypted_output_path(request.output_dir, plain);
    const QString same_file = encrypt_output_refusal(plain, output);
    if (!same_file.isEmpty()) {
        return fail(EXIT_BAD_INPUT, same_file);
    }
    const QString target = output_file_refusal(output);
    if (!target.isEmpty()) {
        return fail(EXIT_BAD_INPUT, target + QStringLiteral("; nothing was written"));
    }
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
