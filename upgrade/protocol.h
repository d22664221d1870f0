#ifndef KT62_PROTOCOL_H
#define KT62_PROTOCOL_H

#include <QByteArray>
#include <QtGlobal>

// Wire format of the KT62 update protocol: command frames
// ("$", 16-bit little-endian length, command, payload; no checksum), the
// fixed start sequence, and the 1K XMODEM layer with an 8-bit sum.

constexpr quint8 FRAME_START = 0x24; // '$'
constexpr int FRAME_HEADER_SIZE = 4; // start, length low, length high, command
constexpr int PROTOCOL_MAX_PAYLOAD = 2000;

constexpr quint8 CMD_QUERY_FIRMWARE_INFO = 0x10;
constexpr quint8 CMD_FIRMWARE_INFO = 0x11;
constexpr quint8 CMD_BEGIN_UPGRADE = 0x20;
constexpr quint8 CMD_CANCEL_UPGRADE = 0x21;
constexpr quint8 CMD_ERASE_FINISHED = 0x22;
constexpr quint8 CMD_UPGRADE_RESULT = 0x35;

constexpr quint8 UPGRADE_RESULT_OK = 0x00;
constexpr int UPGRADE_RESULT_INDEX = 0; // payload byte that carries the result
constexpr quint8 CANCEL_UPGRADE_ARG = 0x00;

// Opens every run. It is not a command frame: read as one it would announce
// 0x0700 payload bytes, so it is sent as these bytes and never built.
constexpr int START_SEQUENCE_SIZE = 7;
constexpr quint8 START_SEQUENCE[START_SEQUENCE_SIZE] = {0x24, 0x00, 0x07, 0x99, 0x00, 0x00, 0x23};

constexpr quint8 XMODEM_STX = 0x02;
constexpr quint8 XMODEM_EOT = 0x04;
constexpr quint8 XMODEM_ACK = 0x06;
constexpr quint8 XMODEM_NAK = 0x15;
// The end of transmission is followed by this byte on the wire.
constexpr quint8 XMODEM_EOT_TRAILER = 0x00;
constexpr int XMODEM_DATA_SIZE = 1024;
constexpr int XMODEM_BLOCK_SIZE = XMODEM_DATA_SIZE + 4; // STX, number, complement, data, sum
constexpr int XMODEM_NUMBER_OFFSET = 1;
constexpr int XMODEM_COMPLEMENT_OFFSET = 2;
constexpr int XMODEM_DATA_OFFSET = 3;
constexpr int XMODEM_CHECKSUM_OFFSET = XMODEM_DATA_OFFSET + XMODEM_DATA_SIZE;

constexpr int BEGIN_UPGRADE_PAYLOAD_SIZE = 4; // image size, 32-bit little-endian

// The image travels as packets of one block's data each; the last is filled
// up with the pad byte.
constexpr int FIRMWARE_PACKET_SIZE = XMODEM_DATA_SIZE;
constexpr quint8 PAD_BYTE = 0x1A;
// The packet count is 16 bits wide on both sides of the line.
constexpr int MAX_PACKET_COUNT = 65535;

// A frame that is not finished after a pause of more than this many clock
// milliseconds is abandoned, so a device that restarts mid-frame resyncs.
constexpr quint64 FRAME_PAUSE_MS = 50;
// The receive clock advances by one tick per timer shot, not by wall time.
constexpr int CLOCK_TICK_MS = 5;
// Until the device answers, the firmware information is asked for this often.
constexpr int QUERY_INTERVAL_MS = 1000;

struct ProtocolFrame
{
    quint16 length;
    quint8 command;
    quint8 payload[PROTOCOL_MAX_PAYLOAD];
};

// Lays out record as a wire frame in out (room for length + 4 bytes) and
// returns the number of bytes to send; 0 for a record that announces more
// payload than it can hold.
int encode_frame(const ProtocolFrame &record, quint8 *out);

// The same frame as a byte array, for code that assembles replies and test
// input rather than sending from a fixed record. Payloads longer than a
// frame can announce are cut at 65535 bytes.
QByteArray build_frame(quint8 command, const QByteArray &payload);

// Packets (and so blocks) needed for an image of size bytes.
qint64 packet_count_for(qint64 size);

// Arithmetic sum of the bytes modulo 256, the XMODEM block checksum.
quint8 xmodem_checksum(const quint8 *data, int len);

// Fills block (XMODEM_BLOCK_SIZE bytes) with one block carrying number and up
// to XMODEM_DATA_SIZE data bytes; a shorter data area is left zero.
void build_xmodem_block(quint8 number, const quint8 *data, int len, quint8 *block);

#endif
