#include "tools/flash/image_table.h"

#include "firmware/firmware_image.h"

#include <QtEndian>

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
