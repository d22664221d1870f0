#ifndef KT62_SIM_LINE_H
#define KT62_SIM_LINE_H

#include "tools/sim/pty_pair.h"
#include "tools/sim/sim_device.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <optional>
#include <random>

// The device's end of the cable: the master side of a pseudo terminal whose
// slave the tool opens as its serial port. It can make the line behave like
// a real one (every byte timed as 8N1 at a baud rate) and like a bad one
// (replies cut into random chunks, noise in front of command frames).

struct LineOptions
{
    int pace_baud = 0; // 0: as fast as the pty goes
    bool chunk_split = false;
    double noise = 0.0; // chance of noise in front of a command frame
};

class SimLine
{
public:
    SimLine(const LineOptions &options, std::mt19937_64 &random);
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    // Creates the pty pair; false with errorString() set on failure.
    bool open();
    QString slavePath() const { return m_pty.slave_path(); }
    QString errorString() const { return m_pty.error_string(); }
    int masterFd() const { return m_pty.master_fd(); }
    // Pulls the cable: both ends of the pty are closed.
    void close();

    // Reads what the tool wrote; with pacing the bytes only become due when
    // the last of them would have crossed the line.
    void readAvailable(SimTime now);
    QByteArray takeDueInput(SimTime now);
    // Throws away what the tool wrote and was not read or taken yet.
    void dropInput();

    void send(const QByteArray &bytes, bool frame, SimTime now);
    // Writes every scheduled chunk whose time has come; returns false when
    // the pty refused more (poll for writability, then call again).
    bool flushDue(SimTime now);
    bool outputPending() const { return !m_output.empty(); }
    // Whether bytes the tool wrote are still on their way to the device.
    bool inputPending() const { return !m_input.empty(); }
    // Lets go of the simulator's own hold on the slave, so that the tool
    // closing its port shows as a hang-up (see hungUp()).
    void releaseSlave();
    // Whether nobody holds the slave any more.
    bool hungUp() const { return m_hung_up; }

    std::optional<SimTime> nextDue() const;

private:
    struct Scheduled
    {
        SimTime due;
        QByteArray bytes;
    };

    SimClock::duration byteTime(int count) const;
    QByteArray noiseBytes();
    void schedule(const QByteArray &bytes, SimTime now);

    LineOptions m_options;
    std::mt19937_64 &m_random;
    PtyPair m_pty;
    bool m_hung_up = false;

    std::deque<Scheduled> m_input;
    std::deque<Scheduled> m_output;
    SimTime m_input_line_free{};  // when the tool-to-device line is idle again
    SimTime m_output_line_free{}; // same for device-to-tool
};

#endif
