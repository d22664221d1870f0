#ifndef KT62_TEST_FAKEDEVICE_H
#define KT62_TEST_FAKEDEVICE_H

#include "tests/support/fakeline.h"

#include <QIODevice>
#include <QTimer>
#include <QtEndian>
#include <algorithm>

// The device's side of the wire, written down apart from the tool's constants
// so that a wrong constant there shows.
namespace dev {
constexpr char QUERY = 0x10, INFO = 0x11, BEGIN = 0x20, ERASED = 0x22, RESULT = 0x35, STX = 0x02,
               EOT = 0x04, ACK = 0x06, NAK = 0x15;
constexpr int HEADER = 4, DATA = 1024, BLOCK = DATA + 4;
inline QByteArray frame(char command, const QByteArray &payload)
{
    return QByteArray(1, '$') + char(payload.size()) + char(payload.size() >> 8) + command +
           payload;
}
} // namespace dev

// A KT62 at the far end of a fake line (install `line` in the channel),
// answering on its next turn: a query with its info, a begin-upgrade with
// "erase finished" and three NAKs, each block with an ACK (the last with two),
// the end of transmission with `result`.
struct FakeDevice
{
    FakeDevice()
    {
        QObject::connect(&poll, &QTimer::timeout, [this] { pump(); });
        poll.start(1);
    }
    void pump() // reads what arrived and answers it
    {
        const QByteArray got = line.take_sent();
        seen += got;
        in += got;
        while (const int used = take()) {
            in.remove(0, used);
        }
    }
    int take() // bytes of the input answered, 0 when more are needed
    {
        if (in.startsWith(QByteArray("$\0\x07\x99\0\0#", 7))) {
            blocks = -1; // a new run, whatever came before
            return 7;
        } else if (blocks >= 0 && in.startsWith(dev::EOT)) {
            blocks = -1;
            line.feed(dev::frame(dev::RESULT, QByteArray(1, char(result))));
            return 2;
        } else if (blocks >= 0 && in.startsWith(dev::STX)) {
            if (in.size() < dev::BLOCK) {
                return 0;
            }
            // The tool ends the transmission only on the ACK after the last block.
            line.feed(QByteArray(--blocks ? 1 : 2, dev::ACK));
            return dev::BLOCK;
        }
        const int length = in.size() < dev::HEADER ? 0 : quint8(in[1]) | quint8(in[2]) << 8;
        if (in.size() < dev::HEADER + length) {
            return 0;
        } else if (in[3] == dev::QUERY) {
            line.feed(dev::frame(dev::INFO, "KT62_V01.00.00.00"));
        } else if (in[3] == dev::BEGIN) {
            blocks =
                int((qFromLittleEndian<quint32>(in.constData() + dev::HEADER) + dev::DATA - 1) /
                    dev::DATA);
            line.feed(dev::frame(dev::ERASED, QByteArray(1, 0)) + QByteArray(3, dev::NAK));
        }
        return dev::HEADER + length;
    }

    FakeLine line;
    QTimer poll;
    QByteArray in, seen;  // unanswered; all the tool sent
    quint8 result = 0x00; // anything but 0 is a failure
    int blocks = -1;      // left to acknowledge; -1 outside a transfer
};

// A source whose first read succeeds and every later one fails.
struct FailingDevice : QIODevice
{
    FailingDevice() { open(ReadOnly | Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 1; }
    qint64 readData(char *data, qint64 max) override
    {
        std::fill_n(data, max, 'x');
        return reads++ ? -1 : max;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
    int reads = 0;
};

#endif
