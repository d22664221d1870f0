#include "tools/sim/sim_device.h"

#include "firmware/firmware_image.h"
#include "upgrade/protocol.h"

namespace {
// The tool sends a block on every third NAK it counts, over its whole life.
// Of any three consecutive counts exactly one is a multiple of three, so a
// burst of three always buys exactly one block, whatever the count was.
constexpr int NAK_BURST = 3;
// Silence after which a request is repeated, and after which a half-received
// block is given up. Far above the tool's reaction time, far below its
// patience.
constexpr std::chrono::milliseconds SILENCE_LIMIT{1000};
// Device frames always carry at least one byte: the tool needs a byte after
// a zero-length frame to complete it.
constexpr quint8 FRAME_FILLER = 0x00;
constexpr quint8 RESULT_FAILED = 0x01;
constexpr quint8 BYTE_MASK = 0xFF;
// What a device that talks without getting anywhere says, and how often: a
// boot log instead of an answer, a CRC-mode XMODEM receiver's "C" instead
// of a NAK.
const QByteArray BOOT_LOG_LINE = "KT62 boot: waiting for the application...\r\n";
const QByteArray CRC_REQUEST = "C";
constexpr std::chrono::milliseconds CHATTER_INTERVAL{1000};
// NAKs queued at a time by a NAK stream: the line is kept full, no fuller.
constexpr int NAK_STREAM_CHUNK = 256;

QString quoted(const QByteArray &text)
{
    return QLatin1Char('"') + QString::fromLocal8Bit(text) + QLatin1Char('"');
}
} // namespace

SimDevice::SimDevice(const DeviceOptions &options, SendHook send, LogHook log, RandomHook random)
    : m_options(options), m_send(std::move(send)), m_log(std::move(log)),
      m_random(std::move(random))
{}

void SimDevice::receive(const QByteArray &bytes, SimTime now)
{
    if (bytes.isEmpty() || m_phase == Phase::Silent || m_phase == Phase::Deaf ||
        m_phase == Phase::Gone) {
        return;
    }
    if (m_phase != Phase::Transfer && now - m_last_rx > SILENCE_LIMIT) {
        m_rx.clear(); // a frame left half-sent long ago will never be finished
    }
    m_last_rx = now;
    m_last_activity = now;
    if (m_phase == Phase::Transfer && (m_options.nak_stream || m_options.erase_loop)) {
        return; // it takes no block
    }
    if (m_phase != Phase::Transfer) {
        m_rx.append(bytes);
        parseCommands(now);
        return;
    }
    for (int i = 0; i < bytes.size(); ++i) {
        if (m_phase != Phase::Transfer) {
            // The tool started over in the middle: the rest is command bytes.
            m_rx.append(bytes.mid(i));
            parseCommands(now);
            return;
        }
        transferByte(quint8(bytes.at(i)), now);
    }
}

void SimDevice::tick(SimTime now)
{
    const QByteArray talk = chatter();
    if (!talk.isEmpty()) {
        if (now >= m_next_chatter) {
            m_send(talk, false);
            m_next_chatter = now + CHATTER_INTERVAL;
        }
        return;
    }
    if (wantsLine()) {
        return; // it never falls silent
    }
    if (m_phase == Phase::Erasing && now >= m_erase_done) {
        finishErase(now);
        return;
    }
    if (m_phase == Phase::Deaf && now >= m_deaf_until) {
        m_log(QStringLiteral("reading the line again"));
        m_phase = Phase::Commands;
        m_rx.clear();
        return;
    }
    if (m_phase != Phase::Transfer || m_eot_seen ||
        m_image.size() >= blocksNeeded() * XMODEM_DATA_SIZE) {
        return;
    }
    if (now - m_last_activity < SILENCE_LIMIT) {
        return;
    }
    if (!m_block.isEmpty()) {
        m_log(QStringLiteral("block %1 incomplete: dropped after %2 bytes")
                  .arg(m_expected_number)
                  .arg(m_block.size()));
        m_block.clear();
        ++m_stats.blocks_bad;
    } else {
        m_log(QStringLiteral("silence: asking again for block %1").arg(m_expected_number));
    }
    sendNakBurst(now);
}

std::optional<SimTime> SimDevice::nextDeadline() const
{
    if (!chatter().isEmpty()) {
        return m_next_chatter;
    }
    if (m_phase == Phase::Erasing) {
        return m_erase_done;
    }
    if (m_phase == Phase::Deaf) {
        return m_deaf_until;
    }
    if (m_phase == Phase::Transfer && !m_eot_seen &&
        m_image.size() < blocksNeeded() * XMODEM_DATA_SIZE) {
        return m_last_activity + SILENCE_LIMIT;
    }
    return std::nullopt;
}

QByteArray SimDevice::chatter() const
{
    if (m_options.babble && m_phase == Phase::Commands) {
        return BOOT_LOG_LINE;
    }
    if (m_options.crc_mode && m_phase == Phase::Transfer) {
        return CRC_REQUEST;
    }
    if (m_options.erase_loop && m_phase == Phase::Transfer) {
        // Enough to walk the tool's engine through a whole transfer to the
        // end of transmission, and then back to its start.
        return build_frame(CMD_ERASE_FINISHED, QByteArray(1, char(FRAME_FILLER))) +
               QByteArray(blocksNeeded() + 1, char(XMODEM_ACK));
    }
    return QByteArray();
}

bool SimDevice::wantsLine() const
{
    return m_options.nak_stream && m_phase == Phase::Transfer;
}

void SimDevice::lineIdle()
{
    if (wantsLine()) {
        m_send(QByteArray(NAK_STREAM_CHUNK, char(XMODEM_NAK)), false);
    }
}

// --- command frames -------------------------------------------------------

void SimDevice::parseCommands(SimTime now)
{
    while (!m_rx.isEmpty() && (m_phase == Phase::Commands || m_phase == Phase::Erasing)) {
        const int start = m_rx.indexOf(char(FRAME_START));
        if (start != 0) {
            m_log(QStringLiteral("ignored %1 bytes").arg(start < 0 ? m_rx.size() : start));
        }
        if (start < 0) {
            m_rx.clear();
            return;
        }
        m_rx.remove(0, start);
        if (m_rx.size() < FRAME_HEADER_SIZE) {
            return;
        }
        if (m_rx.startsWith(QByteArray::fromRawData(reinterpret_cast<const char *>(START_SEQUENCE),
                                                    FRAME_HEADER_SIZE))) {
            if (!takeStartSequence()) {
                return;
            }
            continue;
        }
        const int length = quint8(m_rx.at(1)) | (quint8(m_rx.at(2)) << 8);
        if (length > PROTOCOL_MAX_PAYLOAD) {
            m_rx.remove(0, 1); // not a frame of ours: look for the next start
            continue;
        }
        if (m_rx.size() < FRAME_HEADER_SIZE + length) {
            return;
        }
        const quint8 command = quint8(m_rx.at(3));
        const QByteArray payload = m_rx.mid(FRAME_HEADER_SIZE, length);
        m_rx.remove(0, FRAME_HEADER_SIZE + length);
        handleFrame(command, payload, now);
    }
}

// Returns false while the sequence is still incomplete.
bool SimDevice::takeStartSequence()
{
    const QByteArray sequence = QByteArray::fromRawData(
        reinterpret_cast<const char *>(START_SEQUENCE), START_SEQUENCE_SIZE);
    if (m_rx.size() < START_SEQUENCE_SIZE) {
        return false;
    }
    if (m_rx.startsWith(sequence)) {
        m_rx.remove(0, START_SEQUENCE_SIZE);
        ++m_start_sequences;
        m_phase = Phase::Commands;
        m_log(QStringLiteral("start sequence"));
        if (m_options.unasked_erase) {
            // The late report of an erase nobody asked for in this run, then
            // a request for blocks.
            m_log(QStringLiteral("erase finished, unasked"));
            sendFrame(CMD_ERASE_FINISHED, QByteArray(1, char(FRAME_FILLER)));
            m_send(QByteArray(NAK_BURST, char(XMODEM_NAK)), false);
        }
    } else {
        m_rx.remove(0, 1);
    }
    return true;
}

void SimDevice::handleFrame(quint8 command, const QByteArray &payload, SimTime now)
{
    switch (command) {
    case CMD_QUERY_FIRMWARE_INFO:
        m_log(QStringLiteral("query ") + quoted(payload));
        if (m_options.babble) {
            break; // it talks, but never answers
        }
        if (m_options.early_success) {
            m_log(QStringLiteral("result ok, before any image"));
            sendFrame(CMD_UPGRADE_RESULT, QByteArray(1, char(UPGRADE_RESULT_OK)));
            break;
        }
        m_log(QStringLiteral("answer ") + quoted(m_options.info));
        if (m_options.answer_twice) {
            m_send(build_frame(CMD_FIRMWARE_INFO, m_options.info).repeated(2), true);
            break;
        }
        sendFrame(CMD_FIRMWARE_INFO, m_options.info);
        break;
    case CMD_BEGIN_UPGRADE:
        beginErase(payload, now);
        break;
    case CMD_CANCEL_UPGRADE:
        m_log(QStringLiteral("cancel"));
        m_phase = Phase::Commands;
        endSession(Ending::Served);
        break;
    default:
        m_log(QStringLiteral("unknown command 0x%1 ignored").arg(command, 2, 16, QLatin1Char('0')));
        break;
    }
}

void SimDevice::beginErase(const QByteArray &payload, SimTime now)
{
    if (payload.size() != BEGIN_UPGRADE_PAYLOAD_SIZE) {
        m_log(QStringLiteral("begin upgrade with %1 payload bytes ignored").arg(payload.size()));
        return;
    }
    quint32 size = 0;
    for (int i = BEGIN_UPGRADE_PAYLOAD_SIZE - 1; i >= 0; --i) {
        size = (size << 8) | quint8(payload.at(i));
    }
    // More than the 16-bit packet count can address: no real image, and
    // no room to be made for it.
    if (packet_count_for(size) > MAX_PACKET_COUNT) {
        m_log(QStringLiteral("begin upgrade of %1 bytes refused: more than %2 packets")
                  .arg(size)
                  .arg(MAX_PACKET_COUNT));
        sendFrame(CMD_UPGRADE_RESULT, QByteArray(1, char(RESULT_FAILED)));
        return;
    }
    m_announced_size = size;
    m_log(QStringLiteral("erase %1 bytes").arg(m_announced_size));
    m_phase = Phase::Erasing;
    m_erase_done = now + m_options.erase_time;
}

void SimDevice::finishErase(SimTime now)
{
    if (m_options.blind_acks) {
        acknowledgeBlindly(now);
        return;
    }
    m_log(QStringLiteral("erase finished"));
    m_phase = Phase::Transfer;
    m_rx.clear();
    m_expected_number = 1;
    m_block.clear();
    m_eot_seen = false;
    m_image.clear();
    m_image.reserve(blocksNeeded() * XMODEM_DATA_SIZE);
    m_stats = TransferStats();
    m_image_whole = false;
    m_plain_image.clear();
    sendFrame(CMD_ERASE_FINISHED, QByteArray(1, char(FRAME_FILLER)));
    if (m_options.crc_mode || m_options.erase_loop) {
        m_next_chatter = now;
    } else if (m_options.ack_unseen) {
        // One ACK per block and the one that asks for the end of transmission.
        m_log(QStringLiteral("acknowledging %1 blocks unseen").arg(blocksNeeded()));
        sendControl(XMODEM_ACK, blocksNeeded() + 1, now);
    } else if (!m_options.nak_stream) {
        sendNakBurst(now);
    }
}

void SimDevice::acknowledgeBlindly(SimTime now)
{
    // One write: the tool reads it all before any block it sends can have
    // arrived, as a device on a line slower than its ACKs would be read.
    m_log(QStringLiteral("erase finished; acknowledging %1 blocks blind, reading nothing")
              .arg(blocksNeeded()));
    QByteArray reply = build_frame(CMD_ERASE_FINISHED, QByteArray(1, char(FRAME_FILLER)));
    reply += QByteArray(NAK_BURST, char(XMODEM_NAK));
    reply += QByteArray(blocksNeeded() + 1, char(XMODEM_ACK));
    reply += build_frame(CMD_UPGRADE_RESULT, QByteArray(1, char(UPGRADE_RESULT_OK)));
    m_log(QStringLiteral("result ok, blind"));
    m_send(reply, false);
    m_last_activity = now;
    m_phase = Phase::Deaf;
    m_deaf_until = now + SILENCE_LIMIT;
    // A session that ended without an image.
    ++m_transfers;
    m_image_whole = false;
    endSession(Ending::Served);
}

// --- transfer -------------------------------------------------------------

void SimDevice::transferByte(quint8 b, SimTime now)
{
    if (!m_block.isEmpty()) {
        m_block.append(char(b));
        if (m_block.size() == XMODEM_BLOCK_SIZE) {
            checkBlock(now);
        }
        return;
    }
    if (m_eot_seen) {
        if (b != XMODEM_EOT_TRAILER) {
            m_log(QStringLiteral("end of transmission followed by 0x%1")
                      .arg(b, 2, 16, QLatin1Char('0')));
        }
        endTransfer(now);
        return;
    }
    if (b == XMODEM_STX) {
        m_block.append(char(b));
    } else if (b == XMODEM_EOT) {
        m_eot_seen = true;
    } else if (b == FRAME_START) {
        m_log(QStringLiteral("transfer abandoned by the tool"));
        m_phase = Phase::Commands;
        m_rx = QByteArray(1, char(b));
    } else {
        m_log(QStringLiteral("ignored byte 0x%1").arg(b, 2, 16, QLatin1Char('0')));
    }
}

void SimDevice::checkBlock(SimTime now)
{
    const auto *block = reinterpret_cast<const quint8 *>(m_block.constData());
    const quint8 number = block[XMODEM_NUMBER_OFFSET];
    const bool complement_ok = quint8(number ^ block[XMODEM_COMPLEMENT_OFFSET]) == BYTE_MASK;
    const bool sum_ok = xmodem_checksum(block + XMODEM_DATA_OFFSET, XMODEM_DATA_SIZE) ==
                        block[XMODEM_CHECKSUM_OFFSET];
    const bool all_received = m_image.size() >= blocksNeeded() * XMODEM_DATA_SIZE;

    if (complement_ok && sum_ok && number == quint8(m_expected_number - 1)) {
        // A request repeated after a silence can cross the block it asked
        // for; acknowledging the copy would make the tool skip a block.
        ++m_stats.blocks_duplicate;
        m_log(QStringLiteral("block %1 duplicate: dropped").arg(number));
        m_block.clear();
        return;
    }
    if (!complement_ok || !sum_ok || number != m_expected_number || all_received) {
        ++m_stats.blocks_bad;
        m_log(QStringLiteral("block %1 bad:%2%3%4%5")
                  .arg(number)
                  .arg(complement_ok ? "" : " complement")
                  .arg(sum_ok ? "" : " checksum")
                  .arg(number == m_expected_number ? "" : " number")
                  .arg(all_received ? " surplus" : ""));
        m_block.clear();
        sendNakBurst(now);
        return;
    }
    if (m_options.nak_rate > 0.0 && m_random() < m_options.nak_rate) {
        ++m_stats.blocks_asked_again;
        m_log(QStringLiteral("block %1 asked again").arg(number));
        m_block.clear();
        sendNakBurst(now);
        return;
    }
    acceptBlock(now);
}

void SimDevice::acceptBlock(SimTime now)
{
    m_image.append(m_block.constData() + XMODEM_DATA_OFFSET, XMODEM_DATA_SIZE);
    m_block.clear();
    ++m_stats.blocks_good;
    if (m_options.verbose) {
        m_log(QStringLiteral("block %1 ok").arg(m_expected_number));
    }
    ++m_expected_number;
    const bool last = m_image.size() >= blocksNeeded() * XMODEM_DATA_SIZE;
    // The tool asks for the end of transmission with one more ACK after the
    // last block's.
    sendControl(XMODEM_ACK, last ? 2 : 1, now);

    if (m_stats.blocks_good == m_options.exit_after) {
        m_log(QStringLiteral("unplugged after %1 blocks").arg(m_stats.blocks_good));
        m_phase = Phase::Gone;
        endSession(Ending::Unplugged);
    } else if (m_stats.blocks_good == m_options.silent_after) {
        m_log(QStringLiteral("silent after %1 blocks").arg(m_stats.blocks_good));
        m_phase = Phase::Silent;
    }
}

void SimDevice::endTransfer(SimTime now)
{
    Q_UNUSED(now);
    m_eot_seen = false;
    m_phase = Phase::Commands;
    const int needed = blocksNeeded();
    const bool size_ok = m_announced_size >= quint32(ENCRYPT_HEADER_SIZE) &&
                         m_image.size() == needed * XMODEM_DATA_SIZE;
    QByteArray image = m_image.left(int(m_announced_size));
    const QByteArray padding = m_image.mid(int(m_announced_size));
    const bool padding_ok = size_ok && padding.count(char(PAD_BYTE)) == padding.size();
    const bool header_ok = size_ok && checksum_header_matches(image);

    ++m_transfers;
    m_image_whole = size_ok && padding_ok && header_ok;
    if (size_ok) {
        m_plain_image = decrypt_body(image.mid(ENCRYPT_HEADER_SIZE));
        if (m_transfer_hook) {
            m_transfer_hook(m_plain_image);
        }
    }
    m_log(QStringLiteral("end of transmission"));
    m_log(QStringLiteral("transfer: %1 of %2 blocks, %3 bad, %4 duplicate, %5 asked again, %6 NAK "
                         "bursts")
              .arg(m_stats.blocks_good)
              .arg(needed)
              .arg(m_stats.blocks_bad)
              .arg(m_stats.blocks_duplicate)
              .arg(m_stats.blocks_asked_again)
              .arg(m_stats.nak_bursts));
    QString verdict = m_image_whole ? QStringLiteral("image ok") : QStringLiteral("image wrong:");
    if (!size_ok) {
        verdict += QStringLiteral(" size");
    } else {
        verdict += QString(padding_ok ? "" : " padding") + (header_ok ? "" : " checksum");
    }
    m_log(verdict);

    const bool success = (m_image_whole || m_options.ack_unseen) && !m_options.fail_result;
    m_log(success ? QStringLiteral("result ok") : QStringLiteral("result failed"));
    sendFrame(CMD_UPGRADE_RESULT, QByteArray(1, char(success ? UPGRADE_RESULT_OK : RESULT_FAILED)));
    endSession(Ending::Served);
}

void SimDevice::sendNakBurst(SimTime now)
{
    ++m_stats.nak_bursts;
    sendControl(XMODEM_NAK, NAK_BURST, now);
}

void SimDevice::sendControl(quint8 byte, int count, SimTime now)
{
    m_last_activity = now;
    m_send(QByteArray(count, char(byte)), false);
}

void SimDevice::sendFrame(quint8 command, const QByteArray &payload)
{
    m_send(build_frame(command, payload), true);
}

int SimDevice::blocksNeeded() const
{
    return int(packet_count_for(m_announced_size));
}

void SimDevice::endSession(Ending ending)
{
    if (ending == Ending::Unplugged || m_options.once) {
        m_ending = ending;
    }
}
