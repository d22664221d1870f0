#include "fakedevice.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
// The device's side of the wire, written down here on its own so that the
// tests do not take the tool's constants on trust.
constexpr char FRAME_START = 0x24;
constexpr int FRAME_HEADER = 4;
constexpr quint8 QUERY = 0x10, INFO = 0x11, BEGIN = 0x20, CANCEL = 0x21, ERASED = 0x22,
                 RESULT = 0x35;
const QByteArray START_SEQUENCE("\x24\x00\x07\x99\x00\x00\x23", 7);
constexpr char STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15;
constexpr int END_OF_TRANSMISSION_SIZE = 2; // EOT and a zero byte
constexpr int DATA_SIZE = 1024;
constexpr int BLOCK_SIZE = DATA_SIZE + 4;
const QByteArray NAK_BURST(3, NAK);

quint8 at(const QByteArray &bytes, int i)
{
    return quint8(bytes.at(i));
}
} // namespace

FakeDevice::FakeDevice(QObject *parent) : QObject(parent)
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave_keepalive, name, nullptr, nullptr) != 0) {
        m_master = -1;
        return;
    }
    termios raw{};
    tcgetattr(m_slave_keepalive, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave_keepalive, TCSANOW, &raw);
    m_slave_path = QString::fromLocal8Bit(name);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);

    m_read_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_read_notifier, &QSocketNotifier::activated, this, &FakeDevice::readAvailable);
    m_write_notifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_write_notifier->setEnabled(false);
    connect(m_write_notifier, &QSocketNotifier::activated, this, &FakeDevice::flush);
}

FakeDevice::~FakeDevice()
{
    delete m_read_notifier;
    delete m_write_notifier;
    if (m_master >= 0) {
        ::close(m_master);
    }
    if (m_slave_keepalive >= 0) {
        ::close(m_slave_keepalive);
    }
}

void FakeDevice::readAvailable()
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(m_master, buffer, sizeof buffer)) > 0) {
        m_seen.bytes.append(buffer, int(n));
        m_in.append(buffer, int(n));
    }
    while (m_transfer ? takeTransferUnit() : takeCommand()) {
    }
}

void FakeDevice::reply(const QByteArray &bytes)
{
    if (!m_silent) {
        m_out += bytes;
        flush();
    }
}

void FakeDevice::replyFrame(quint8 command, const QByteArray &payload)
{
    QByteArray frame;
    frame.append(FRAME_START);
    frame.append(char(payload.size() & 0xFF));
    frame.append(char(payload.size() >> 8));
    frame.append(char(command));
    reply(frame + payload);
}

void FakeDevice::flush()
{
    while (!m_out.isEmpty()) {
        const ssize_t n = ::write(m_master, m_out.constData(), size_t(m_out.size()));
        if (n <= 0) {
            break; // full: the write notifier calls again
        }
        m_out.remove(0, int(n));
    }
    m_write_notifier->setEnabled(!m_out.isEmpty());
}

bool FakeDevice::takeCommand()
{
    const int start = m_in.indexOf(FRAME_START);
    if (start < 0) {
        m_in.clear();
        return false;
    }
    m_in.remove(0, start);
    if (m_in.startsWith(START_SEQUENCE)) {
        m_in.remove(0, START_SEQUENCE.size());
        ++m_seen.start_sequences;
        m_silent = false; // a new run wakes a device that fell silent
        return true;
    }
    if (START_SEQUENCE.startsWith(m_in) || m_in.size() < FRAME_HEADER) {
        return false; // wait for more
    }
    const int length = at(m_in, 1) | (at(m_in, 2) << 8);
    if (m_in.size() < FRAME_HEADER + length) {
        return false;
    }
    const quint8 command = at(m_in, 3);
    const QByteArray payload = m_in.mid(FRAME_HEADER, length);
    m_in.remove(0, FRAME_HEADER + length);
    onFrame(command, payload);
    return true;
}

void FakeDevice::onFrame(quint8 command, const QByteArray &payload)
{
    switch (command) {
    case QUERY:
        m_seen.queries << payload;
        if (script.answer_query) {
            replyFrame(INFO, script.info);
        }
        emit queryReceived();
        break;
    case CANCEL:
        ++m_seen.cancels;
        emit cancelReceived();
        break;
    case BEGIN:
        beginTransfer(payload);
        break;
    default:
        break;
    }
}

void FakeDevice::beginTransfer(const QByteArray &size_payload)
{
    quint32 size = 0;
    for (int i = size_payload.size() - 1; i >= 0; --i) {
        size = (size << 8) | at(size_payload, i);
    }
    m_seen.announced_size = size;
    m_seen.image.clear();
    m_seen.block_numbers.clear();
    m_good_blocks = 0;
    m_blocks_expected = int((size + DATA_SIZE - 1) / DATA_SIZE);
    m_expected_number = 1;
    m_transfer = true;
    emit eraseRequested(size);
    replyFrame(ERASED, QByteArray(1, '\0'));
    reply(NAK_BURST);
}

bool FakeDevice::takeTransferUnit()
{
    if (m_in.isEmpty()) {
        return false;
    }
    if (m_in.at(0) == EOT) {
        if (m_in.size() < END_OF_TRANSMISSION_SIZE) {
            return false;
        }
        m_in.remove(0, END_OF_TRANSMISSION_SIZE);
        m_transfer = false;
        m_seen.transmission_ended = true;
        if (script.send_result && !m_silent) {
            replyFrame(RESULT, QByteArray(1, char(script.result)));
            emit resultSent(script.result);
        }
        return true;
    }
    if (m_in.at(0) != STX) {
        m_transfer = false; // the tool has left the transfer (a new run)
        return true;
    }
    if (m_in.size() < BLOCK_SIZE) {
        return false;
    }
    const QByteArray block = m_in.left(BLOCK_SIZE);
    m_in.remove(0, BLOCK_SIZE);
    onBlock(block);
    return true;
}

void FakeDevice::onBlock(const QByteArray &block)
{
    const QByteArray data = block.mid(3, DATA_SIZE);
    quint8 sum = 0;
    for (const char c : data) {
        sum = quint8(sum + quint8(c));
    }
    const bool good = at(block, 1) == m_expected_number &&
                      at(block, 2) == quint8(0xFF - m_expected_number) &&
                      at(block, BLOCK_SIZE - 1) == sum;
    if (!good) {
        ++m_seen.bad_blocks;
        reply(NAK_BURST);
        return;
    }
    m_seen.block_numbers << m_expected_number;
    m_seen.image += data;
    ++m_expected_number;
    ++m_good_blocks;
    reply(QByteArray(1, ACK));
    if (m_good_blocks == script.silent_after_blocks) {
        m_silent = true;
    }
    if (m_good_blocks == m_blocks_expected) {
        reply(QByteArray(1, ACK)); // the tool ends the transmission only on this one
    }
    emit blockAccepted(m_good_blocks);
}
