#ifndef KT62_TEST_FAKEDEVICE_H
#define KT62_TEST_FAKEDEVICE_H

#include "tests/support/fakeline.h"

#include <QBuffer>
#include <QIODevice>
#include <algorithm>

// The device's side of the wire, written down apart from the tool's constants
// so that a wrong constant there shows.
namespace dev {
constexpr char INFO = 0x11, ERASED = 0x22, RESULT = 0x35, STX = 0x02, ACK = 0x06, NAK = 0x15;
constexpr int BLOCK = 1024 + 4;
inline QByteArray frame(char command, const QByteArray &payload)
{
    return QByteArray(1, '$') + char(payload.size()) + char(payload.size() >> 8) + command +
           payload;
}
} // namespace dev

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

// A file whose size says more than it delivers: cut short while it is read.
struct ShortFile : QBuffer
{
    ShortFile(const QByteArray &content, qint64 size) : m_content(content), m_size(size)
    {
        setBuffer(&m_content);
        open(ReadOnly);
    }
    qint64 size() const override { return m_size; }
    bool atEnd() const override { return pos() >= m_content.size(); }
    QByteArray m_content;
    qint64 m_size;
};

#endif
