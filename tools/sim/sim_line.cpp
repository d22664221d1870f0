#include "tools/sim/sim_line.h"

#include "upgrade/protocol.h"

#include <cerrno>
#include <unistd.h>

namespace {
// 8N1: a start bit, eight data bits and a stop bit per byte on the line.
constexpr int LINE_BITS_PER_BYTE = 10;
constexpr int READ_CHUNK = 4096;
// Chunks of a split reply and the gaps between them. The tool drops a
// partial frame after 50 ms of silence, so the gaps stay a few ms.
constexpr int SPLIT_MAX_CHUNK = 7;
constexpr int SPLIT_MAX_GAP_US = 3000;
constexpr int NOISE_MAX_BYTES = 8;
constexpr int BYTE_VALUES = 256;

// Noise must never look like a start of frame, nor like ACK or NAK should
// the tool still be listening for transfer replies.
bool usable_as_noise(quint8 b)
{
    return b != FRAME_START && b != XMODEM_ACK && b != XMODEM_NAK;
}
} // namespace

SimLine::SimLine(const LineOptions &options, std::mt19937_64 &random)
    : m_options(options), m_random(random)
{}

SimLine::~SimLine()
{
    close();
}

bool SimLine::open()
{
    return m_pty.open();
}

void SimLine::close()
{
    m_pty.close();
    m_output.clear();
    m_input.clear();
}

SimClock::duration SimLine::byteTime(int count) const
{
    if (m_options.pace_baud <= 0) {
        return SimClock::duration::zero();
    }
    const auto ns = std::chrono::nanoseconds(qint64(count) * LINE_BITS_PER_BYTE * 1000000000LL /
                                             m_options.pace_baud);
    return std::chrono::duration_cast<SimClock::duration>(ns);
}

void SimLine::readAvailable(SimTime now)
{
    char buffer[READ_CHUNK];
    while (m_pty.master_fd() >= 0) {
        const ssize_t n = ::read(m_pty.master_fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EIO) {
            m_hung_up = true;
        }
        if (n <= 0) {
            return;
        }
        // A byte arrives when the line has carried it, and the line carries
        // one byte after another.
        m_input_line_free = std::max(m_input_line_free, now) + byteTime(int(n));
        m_input.push_back({m_input_line_free, QByteArray(buffer, int(n))});
    }
}

QByteArray SimLine::takeDueInput(SimTime now)
{
    QByteArray due;
    while (!m_input.empty() && m_input.front().due <= now) {
        due.append(m_input.front().bytes);
        m_input.pop_front();
    }
    return due;
}

void SimLine::dropInput()
{
    readAvailable(SimClock::now());
    m_input.clear();
}

QByteArray SimLine::noiseBytes()
{
    std::uniform_int_distribution<int> count(1, NOISE_MAX_BYTES);
    std::uniform_int_distribution<int> value(0, BYTE_VALUES - 1);
    QByteArray noise;
    for (int n = count(m_random); n > 0;) {
        const quint8 b = quint8(value(m_random));
        if (usable_as_noise(b)) {
            noise.append(char(b));
            --n;
        }
    }
    return noise;
}

void SimLine::send(const QByteArray &bytes, bool frame, SimTime now)
{
    if (m_pty.master_fd() < 0) {
        return;
    }
    QByteArray wire;
    if (frame && m_options.noise > 0.0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < m_options.noise) {
        wire = noiseBytes();
    }
    wire.append(bytes);
    schedule(wire, now);
}

void SimLine::schedule(const QByteArray &bytes, SimTime now)
{
    // Chunks follow the ones already queued, never overtake them.
    SimTime earliest = m_output.empty() ? now : std::max(now, m_output.back().due);
    std::uniform_int_distribution<int> chunk(1, SPLIT_MAX_CHUNK);
    std::uniform_int_distribution<int> gap(0, SPLIT_MAX_GAP_US);
    for (int at = 0; at < bytes.size();) {
        const int size = m_options.chunk_split ? std::min(chunk(m_random), int(bytes.size()) - at)
                                               : int(bytes.size()) - at;
        if (m_options.chunk_split && at > 0) {
            earliest += std::chrono::microseconds(gap(m_random));
        }
        m_output_line_free = std::max(m_output_line_free, earliest) + byteTime(size);
        const SimTime due = std::max(earliest, m_output_line_free);
        m_output.push_back({due, bytes.mid(at, size)});
        earliest = due;
        at += size;
    }
}

bool SimLine::flushDue(SimTime now)
{
    while (m_pty.master_fd() >= 0 && !m_output.empty() && m_output.front().due <= now) {
        QByteArray &bytes = m_output.front().bytes;
        const ssize_t n = ::write(m_pty.master_fd(), bytes.constData(), size_t(bytes.size()));
        if (n < 0) {
            return errno != EAGAIN && errno != EINTR;
        }
        if (n < bytes.size()) {
            bytes.remove(0, int(n));
            return false;
        }
        m_output.pop_front();
    }
    return true;
}

void SimLine::releaseSlave()
{
    m_pty.release_slave();
}

std::optional<SimTime> SimLine::nextDue() const
{
    std::optional<SimTime> next;
    if (!m_input.empty()) {
        next = m_input.front().due;
    }
    if (!m_output.empty() && (!next || m_output.front().due < *next)) {
        next = m_output.front().due;
    }
    return next;
}
