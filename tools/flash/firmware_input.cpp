#include "firmware_input.h"

#include "firmware_name.h"
#include "upgrader.h"

#include <QFile>
#include <QFileInfo>

qint64 max_firmware_size()
{
    return qint64(MAX_PACKET_COUNT) * FIRMWARE_PACKET_SIZE;
}

FirmwareInput check_firmware_input(const QString &path)
{
    FirmwareInput input;
    const QFileInfo info(path);
    if (!info.exists()) {
        input.error = QStringLiteral("%1: no such file").arg(path);
        return input;
    }
    if (!info.isFile()) {
        input.error = QStringLiteral("%1: not a regular file").arg(path);
        return input;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        input.error = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return input;
    }
    // The device is told the model and version through the file name; a
    // name without them is most likely a plain image, not an encrypted one.
    if (!identity_from_file_name(path).has_marker) {
        input.error = QStringLiteral("%1: the name must carry the model and version, as in "
                                     "KT62_V01.02.03.04.bin (encrypt a plain image with --encrypt)")
                          .arg(path);
        return input;
    }
    input.size = info.size();
    if (input.size == 0) {
        input.error = QStringLiteral("%1: the file is empty").arg(path);
        return input;
    }
    if (input.size > max_firmware_size()) {
        input.error = QStringLiteral("%1: %2 bytes is too large, at most %3 bytes can be sent")
                          .arg(path)
                          .arg(input.size)
                          .arg(max_firmware_size());
        return input;
    }
    input.ok = true;
    return input;
}
