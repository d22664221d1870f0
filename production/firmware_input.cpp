#include "production/firmware_input.h"

#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "upgrade/protocol.h"
#include "upgrade/upgrader.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

namespace {
constexpr int INSPECT_CHUNK = 64 * 1024;
}

qint64 max_firmware_size()
{
    return qint64(MAX_PACKET_COUNT) * FIRMWARE_PACKET_SIZE;
}

QString input_file_refusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        return QStringLiteral("%1: no such file").arg(path);
    }
    if (!info.isFile()) {
        return QStringLiteral("%1: not a regular file").arg(path);
    }
    return QString();
}

FirmwareInput check_firmware_input(const QString &path)
{
    FirmwareInput input;
    input.error = input_file_refusal(path);
    if (!input.error.isEmpty()) {
        return input;
    }
    const QFileInfo info(path);
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
    input.error = oversize_refusal(path);
    if (!input.error.isEmpty()) {
        return input;
    }
    input.ok = true;
    return input;
}

QString oversize_refusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.size() <= max_firmware_size()) {
        return QString();
    }
    return QStringLiteral("%1: %2 bytes is too large, at most %3 bytes can be sent")
        .arg(path)
        .arg(info.size())
        .arg(max_firmware_size());
}

QString empty_image_refusal(const QString &path, const FirmwareInspection &inspection)
{
    if (inspection.size != ENCRYPT_HEADER_SIZE) {
        return QString();
    }
    return QStringLiteral("%1: empty image (no firmware bytes); send it as it is with --force")
        .arg(path);
}

FirmwareInspection named_inspection(const QString &path)
{
    FirmwareInspection inspection;
    inspection.readable = true;
    const FirmwareIdentity identity = identity_from_file_name(path);
    if (identity.has_marker) {
        inspection.model = identity.model;
        inspection.version = identity.version;
    }
    return inspection;
}

FirmwareInspection inspect_firmware(const QString &path)
{
    FirmwareInspection inspection;
    inspection.error = input_file_refusal(path);
    if (!inspection.error.isEmpty()) {
        return inspection;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        inspection.error = QStringLiteral("%1: cannot be read").arg(path);
        return inspection;
    }
    // Streamed: before an upgrade the packet table is already loaded, and
    // the check needs no second copy of the image, only its sum.
    const QByteArray head = file.read(ENCRYPT_HEADER_SIZE);
    qint64 size = head.size();
    quint32 body_sum = 0;
    char chunk[INSPECT_CHUNK];
    for (qint64 got = 0; (got = file.read(chunk, sizeof chunk)) > 0; size += got) {
        body_sum += byte_sum(chunk, got);
    }
    if (file.error() != QFileDevice::NoError) {
        inspection.error = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return inspection;
    }
    inspection = named_inspection(path);
    inspection.size = size;
    inspection.packets = int(packet_count_for(inspection.size));
    inspection.has_header = head.size() == ENCRYPT_HEADER_SIZE;
    if (inspection.has_header) {
        inspection.header = qFromLittleEndian<quint32>(head.constData());
        inspection.body_sum = body_sum;
    }
    inspection.header_ok = inspection.has_header && inspection.header == body_sum;
    return inspection;
}

QString header_mismatch_reason(const FirmwareInspection &inspection)
{
    if (!inspection.has_header) {
        return QStringLiteral("%1 bytes, too short for the 4-byte header").arg(inspection.size);
    }
    return QStringLiteral("header says 0x%1, body sums to 0x%2")
        .arg(inspection.header, 8, 16, QLatin1Char('0'))
        .arg(inspection.body_sum, 8, 16, QLatin1Char('0'));
}

QString header_refusal(const QString &path, const FirmwareInspection &inspection)
{
    return QStringLiteral("%1: the checksum header does not match the body (%2); a plain image? "
                          "Encrypt it with --encrypt, or send it as it is with --force")
        .arg(path, header_mismatch_reason(inspection));
}

FirmwareInspection inspect_table(const Upgrader &engine, const QString &path)
{
    FirmwareInspection inspection = named_inspection(path);
    const qint64 size = engine.firmware_size();
    inspection.size = size;
    inspection.packets = int(engine.packets().size());
    inspection.has_header = size >= ENCRYPT_HEADER_SIZE && !engine.packets().empty();
    if (!inspection.has_header) {
        return inspection;
    }
    // Each packet holds packet_size image bytes, the last one fewer (its
    // padding is no part of the image); the header opens the first.
    const qint64 packet_size = engine.packet_size();
    quint32 body_sum = 0;
    for (std::size_t i = 0; i < engine.packets().size(); ++i) {
        const QByteArray &packet = engine.packets()[i];
        const qint64 used = qMin<qint64>(packet.size(), size - qint64(i) * packet_size);
        const qint64 from = i == 0 ? ENCRYPT_HEADER_SIZE : 0;
        if (used > from) {
            body_sum += byte_sum(packet.constData() + from, used - from);
        }
    }
    inspection.header = qFromLittleEndian<quint32>(engine.packets().front().constData());
    inspection.body_sum = body_sum;
    inspection.header_ok = inspection.header == body_sum;
    return inspection;
}
