#ifndef KT62_SIM_DEVICE_H
#define KT62_SIM_DEVICE_H

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// The KT62 as the update tool meets it on the line, without any I/O of its
// own: bytes come in through receive(), replies leave through the send hook,
// and tick() runs its timers (erase, silence). The transport (pty, pacing,
// chunking, noise) is SimLine's business.

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;

struct DeviceOptions
{
    QByteArray info = "KT62_V01.00.00.00";
    std::chrono::milliseconds erase_time{200};
    double nak_rate = 0.0;    // share of good blocks that are asked for again
    int silent_after = -1;    // stop answering after this many good blocks
    int exit_after = -1;      // unplug after this many good blocks
    bool fail_result = false; // report failure whatever was received
    // Hostile devices, which talk without getting anywhere or claim what
    // they did not do.
    bool babble = false;     // answer no query: a line of boot log every second instead
    bool crc_mode = false;   // after the erase, "C" every second instead of NAKs
    bool nak_stream = false; // after the erase, NAKs without pause; no block taken
    // After the erase, its end reported and every block acknowledged, again
    // once a second; no block taken.
    bool erase_loop = false;
    bool early_success = false; // answer the query with a success result
    bool answer_twice = false;  // answer every query twice, in one write
    bool unasked_erase = false; // report an erase's end as a run starts, then ask for blocks
    bool ack_unseen = false;    // after the erase, ACK every block before it comes; then success
    // After the erase, three NAKs, an ACK per block and one more, and a
    // success result, all at once, reading nothing meanwhile.
    bool blind_acks = false;
    bool once = false;    // one upgrade or version check, then done
    bool verbose = false; // one event line per block
};

struct TransferStats
{
    int blocks_good = 0;
    int blocks_bad = 0;
    int blocks_duplicate = 0;
    int blocks_asked_again = 0;
    int nak_bursts = 0;
};

class SimDevice
{
public:
    // frame is true for command frames: only in front of those may the line
    // inject noise, since the tool reads stray bytes there as nothing.
    using SendHook = std::function<void(const QByteArray &bytes, bool frame)>;
    using LogHook = std::function<void(const QString &line)>;
    using RandomHook = std::function<double()>; // uniform in [0, 1)
    using TransferHook = std::function<void(const QByteArray &plain_image)>;

    enum class Ending
    {
        None,
        Served,    // --once: the session is over
        Unplugged, // --exit-after reached: the cable is pulled
    };

    SimDevice(const DeviceOptions &options, SendHook send, LogHook log, RandomHook random);

    // Called with the plain image whenever a transfer of the announced size
    // completes, whether or not its checks passed.
    void setTransferHook(TransferHook hook) { m_transfer_hook = std::move(hook); }

    void receive(const QByteArray &bytes, SimTime now);
    void tick(SimTime now);
    std::optional<SimTime> nextDeadline() const;
    // Whether the device sends whenever the line has room (a NAK stream);
    // lineIdle() is then called each time its line has sent everything.
    bool wantsLine() const;
    void lineIdle();
    // Whether it reads its line. A device that acknowledges blindly takes
    // in nothing for a while; what the tool sent meanwhile is never read.
    bool listening() const { return m_phase != Phase::Deaf; }

    Ending ending() const { return m_ending; }
    // Whether the last completed transfer delivered every block of the
    // announced size with a matching checksum header.
    bool imageWhole() const { return m_image_whole; }
    // The plain image of the last completed transfer (empty before one).
    QByteArray plainImage() const { return m_plain_image; }
    bool sawStartSequence() const { return m_start_sequences > 0; }
    // Whether a transfer reached its end of transmission.
    bool sawTransfer() const { return m_transfers > 0; }
    const TransferStats &stats() const { return m_stats; }

private:
    enum class Phase
    {
        Commands,
        Erasing,
        Transfer,
        Silent,
        Deaf, // reads nothing until m_deaf_until
        Gone
    };

    void parseCommands(SimTime now);
    bool takeStartSequence();
    void handleFrame(quint8 command, const QByteArray &payload, SimTime now);
    void beginErase(const QByteArray &payload, SimTime now);
    void finishErase(SimTime now);
    void acknowledgeBlindly(SimTime now);

    void transferByte(quint8 b, SimTime now);
    void checkBlock(SimTime now);
    void acceptBlock(SimTime now);
    void endTransfer(SimTime now);
    void sendNakBurst(SimTime now);
    void sendControl(quint8 byte, int count, SimTime now);
    void sendFrame(quint8 command, const QByteArray &payload);
    int blocksNeeded() const;
    void endSession(Ending ending);
    QByteArray chatter() const;

    DeviceOptions m_options;
    SendHook m_send;
    LogHook m_log;
    RandomHook m_random;
    TransferHook m_transfer_hook;

    Phase m_phase = Phase::Commands;
    Ending m_ending = Ending::None;
    QByteArray m_rx;           // unparsed command bytes
    SimTime m_last_rx{};       // arrival of the last byte
    SimTime m_last_activity{}; // last byte in either direction
    SimTime m_erase_done{};    // when the erase finishes
    SimTime m_next_chatter{};  // when a babbling or CRC-mode device talks next
    SimTime m_deaf_until{};    // when a blind device reads its line again
    int m_start_sequences = 0;
    int m_transfers = 0;

    quint32 m_announced_size = 0;
    quint8 m_expected_number = 1;
    QByteArray m_block;      // block being received
    bool m_eot_seen = false; // end of transmission, trailer pending
    QByteArray m_image;      // data of the good blocks, in order
    TransferStats m_stats;
    bool m_image_whole = false;
    QByteArray m_plain_image;
};

#endif
