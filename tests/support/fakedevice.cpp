#include "fakedevice.h"

#include <QtEndian>

namespace {
const QByteArray START_SEQUENCE("\x24\x00\x07\x99\x00\x00\x23", 7), EOT("\x04\x00", 2);
constexpr int HEADER = 4, DATA = 1024, BLOCK = DATA + 4;
} // namespace

FakeDevice::FakeDevice()
{
    connect(&m_poll, &QTimer::timeout, this, [this] {
        const QByteArray got = m_pty.readNow();
        m_seen.bytes += got;
        m_in += got;
        while (const int used = take()) {
            m_in.remove(0, used);
        }
    });
    m_poll.start(1);
}

int FakeDevice::take()
{
    if (m_in.startsWith(START_SEQUENCE)) {
        m_blocks_left = -1; // a new run, whatever came before
        return START_SEQUENCE.size();
    } else if (m_blocks_left >= 0 && m_in.startsWith(EOT)) {
        m_blocks_left = -1;
        m_pty.write(dev::frame(dev::RESULT, QByteArray(1, char(script.result))));
        return EOT.size();
    } else if (m_blocks_left >= 0 && m_in.startsWith(dev::STX)) {
        if (m_in.size() < BLOCK) {
            return 0;
        }
        m_seen.image += m_in.mid(3, DATA);
        // The tool ends the transmission only on the ACK after the last block.
        m_pty.write(QByteArray(--m_blocks_left == 0 ? 2 : 1, dev::ACK));
        return BLOCK;
    }
    // Part of a start sequence reads as a frame of 0x0700 bytes: it waits for the rest.
    const int length = m_in.size() < HEADER ? 0 : quint8(m_in.at(1)) | quint8(m_in.at(2)) << 8;
    if (m_in.size() < HEADER + length) {
        return 0;
    }
    const char command = m_in.at(3);
    if (command == dev::QUERY && script.answer_query) {
        m_pty.write(dev::frame(dev::INFO, script.info));
    }
    if (command == dev::QUERY) {
        emit queryReceived();
    } else if (command == dev::CANCEL) {
        emit cancelReceived();
    } else if (command == dev::BEGIN) {
        m_blocks_left =
            int((qFromLittleEndian<quint32>(m_in.constData() + HEADER) + DATA - 1) / DATA);
        m_seen.image.clear();
        m_pty.write(dev::frame(dev::ERASED, QByteArray(1, 0)) + QByteArray(3, dev::NAK));
    }
    return HEADER + length;
}
