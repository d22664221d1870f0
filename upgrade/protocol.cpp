#include "upgrade/protocol.h"

#include "common/units.h"

#include <cstring>

namespace {
constexpr int LENGTH_LOW_OFFSET = 1;
constexpr int LENGTH_HIGH_OFFSET = 2;
constexpr int COMMAND_OFFSET = 3;
constexpr int BYTE_MASK = 0xFF;
// The length field is 16 bits wide.
constexpr int MAX_FRAME_LENGTH = 0xFFFF;
} // namespace

int encode_frame(const ProtocolFrame &record, quint8 *out)
{
    // The record has room for PROTOCOL_MAX_PAYLOAD bytes only; copying more
    // would read past it.
    if (record.length > PROTOCOL_MAX_PAYLOAD) {
        return 0;
    }
    out[0] = FRAME_START;
    out[LENGTH_LOW_OFFSET] = quint8(record.length & BYTE_MASK);
    out[LENGTH_HIGH_OFFSET] = quint8(record.length >> BITS_PER_BYTE);
    out[COMMAND_OFFSET] = record.command;
    std::memcpy(out + FRAME_HEADER_SIZE, record.payload, record.length);
    return record.length + FRAME_HEADER_SIZE;
}

QByteArray build_frame(quint8 command, const QByteArray &payload)
{
    const int length = qMin(int(payload.size()), int(MAX_FRAME_LENGTH));
    QByteArray wire;
    wire.reserve(FRAME_HEADER_SIZE + length);
    wire.append(char(FRAME_START));
    wire.append(char(length & BYTE_MASK));
    wire.append(char(length >> BITS_PER_BYTE));
    wire.append(char(command));
    wire.append(payload.constData(), length);
    return wire;
}

qint64 packet_count_for(qint64 size)
{
    return size <= 0 ? 0 : (size + FIRMWARE_PACKET_SIZE - 1) / FIRMWARE_PACKET_SIZE;
}

quint8 xmodem_checksum(const quint8 *data, int len)
{
    quint8 sum = 0;
    for (int i = 0; i < len; ++i) {
        sum = quint8(sum + data[i]);
    }
    return sum;
}

void build_xmodem_block(quint8 number, const quint8 *data, int len, quint8 *block)
{
    const int used = qBound(0, len, XMODEM_DATA_SIZE);
    block[0] = XMODEM_STX;
    block[XMODEM_NUMBER_OFFSET] = number;
    block[XMODEM_COMPLEMENT_OFFSET] = quint8(~number);
    std::memset(block + XMODEM_DATA_OFFSET, 0, XMODEM_DATA_SIZE);
    if (used > 0) {
        std::memcpy(block + XMODEM_DATA_OFFSET, data, size_t(used));
    }
    block[XMODEM_CHECKSUM_OFFSET] = xmodem_checksum(block + XMODEM_DATA_OFFSET, XMODEM_DATA_SIZE);
}
