#include "upgrade/upgrader.h"

#include "common/units.h"
#include "firmware/firmware_name.h"

#include <QDebug>
#include <QtEndian>
#include <cstring>

int g_nak_count = 0;
QString g_firmware_file;

namespace {
// A block is sent on every third NAK counted over the whole program.
constexpr int NAKS_PER_BLOCK = 3;
} // namespace

Upgrader::Upgrader(GPI *channel, int *nak_count, QString *firmware_file, QObject *parent)
    : QObject(parent), m_channel(channel), m_nak_count(nak_count), m_firmware_file(firmware_file)
{
    connect(m_channel, SIGNAL(data_ready(QByteArray)), this, SLOT(hand_serial_data(QByteArray)));

    m_query_timer = new QTimer(this);
    connect(m_query_timer, SIGNAL(timeout()), this, SLOT(up_query_firmware_info()));
    m_query_timer->stop();

    // The decoder's pause detection measures in the receive clock's ticks.
    // The clock only needs to run until a pause has passed since the last
    // decoded byte: from then on the next chunk is one after a pause however
    // long the clock would have gone on counting. So it sleeps in between
    // instead of waking the idle program 200 times a second.
    m_clock_timer = new QTimer(this);
    connect(m_clock_timer, SIGNAL(timeout()), this, SLOT(update_sys_time()));
    m_clock_timer->start(CLOCK_TICK_MS);
}

// ---------------------------------------------------------------- runs

bool Upgrader::start_upgrade()
{
    if (!table_usable()) {
        qDebug() << "upgrade refused, no firmware loaded:" << *m_firmware_file;
        return false;
    }
    begin_run(false);
    return true;
}

void Upgrader::start_check_version()
{
    begin_run(true);
}

void Upgrader::end_check()
{
    if (m_check_version) {
        m_running = false;
    }
}

void Upgrader::begin_run(bool check_version)
{
    send_bytes(START_SEQUENCE, START_SEQUENCE_SIZE);
    // The first query goes out one interval after the start sequence, not
    // at once.
    m_query_timer->start(QUERY_INTERVAL_MS);
    m_running = true;
    m_check_version = check_version;
    m_xmodem_mode = false;
    m_xmodem_state = XMODEM_IDLE;
    reset_transfer_outcome();
    m_last_result = -1;
}

void Upgrader::reset_transfer_outcome()
{
    m_current_packet_sent = false;
    m_current_packet_mark = 0;
    m_packets_sent = 0;
    m_packets_acknowledged = 0;
    m_eot_sent = false;
}

UpgradePhase Upgrader::phase() const
{
    if (!m_running) {
        return UpgradePhase::Idle;
    }
    if (m_query_timer->isActive()) {
        return UpgradePhase::Querying;
    }
    if (m_check_version) {
        return UpgradePhase::CheckDone;
    }
    // The end of transmission is announced while the transfer layer is still
    // on: its listeners must already see the wait for the result.
    if (m_xmodem_state == XMODEM_WAIT_COMPLETION) {
        return UpgradePhase::Completion;
    }
    return m_xmodem_mode ? UpgradePhase::Transfer : UpgradePhase::Erasing;
}

void Upgrader::stop_upgrade()
{
    const bool sending = m_running && phase() != UpgradePhase::CheckDone;
    m_query_timer->stop();
    m_running = false;
    if (sending) {
        drop_unsent_output();
    }
    m_firmware_file->clear();
    emit upgrade_info(QString());
}

void Upgrader::drop_unsent_output()
{
    // A stop ends all sending, but blocks already queued in the channel
    // would go on leaving for as long as the line takes (a NAK storm can
    // have queued many). A version check that got its answer is not cut
    // here: its cancel frame, which closes the check towards the device,
    // must reach it whole. Inside the channel's own error report the
    // port is not touched: it may be gone, a clear on it can raise a further
    // report from inside this one, and the channel closes it (dropping its
    // queue) as soon as the report returns.
    if (m_channel->isOpen() && !m_channel->reporting_error()) {
        m_channel->discard_output();
    }
}

void Upgrader::clear_firmware_file()
{
    m_firmware_file->clear();
}

void Upgrader::forget_firmware()
{
    m_firmware_file->clear();
    forget_table();
    m_device_model.clear();
    m_target_version.clear();
}

bool Upgrader::firmware_ready() const
{
    return m_load_ok && !m_firmware_file->isEmpty() && m_loaded_file == *m_firmware_file;
}

bool Upgrader::table_usable() const
{
    // Without a table from the chosen file the device would be erased for
    // some other image's size, or for an image with nothing to send.
    return firmware_ready() && m_packet_count > 0;
}

// ---------------------------------------------------------------- sending

void Upgrader::send_bytes(const quint8 *data, int length)
{
    m_channel->writeSerialData(reinterpret_cast<const char *>(data), length);
}

void Upgrader::send_frame(quint8 command, const quint8 *payload, int length)
{
    ProtocolFrame frame;
    frame.length = quint16(qBound(0, length, PROTOCOL_MAX_PAYLOAD));
    frame.command = command;
    std::memcpy(frame.payload, payload, frame.length);
    quint8 wire[FRAME_HEADER_SIZE + PROTOCOL_MAX_PAYLOAD];
    send_bytes(wire, encode_frame(frame, wire));
}

void Upgrader::up_query_firmware_info()
{
    const QByteArray text = query_text_from_path(*m_firmware_file).toUtf8();
    send_frame(CMD_QUERY_FIRMWARE_INFO, reinterpret_cast<const quint8 *>(text.constData()),
               text.size());
    if (m_query_hook) {
        m_query_hook();
    }
}

void Upgrader::up_begin_upgrade()
{
    // After a failed load m_firmware_size may still be an earlier image's.
    if (!table_usable()) {
        qDebug() << "begin upgrade refused, no firmware loaded";
        return;
    }
    quint8 size[BEGIN_UPGRADE_PAYLOAD_SIZE];
    qToLittleEndian(m_firmware_size, size);
    send_frame(CMD_BEGIN_UPGRADE, size, BEGIN_UPGRADE_PAYLOAD_SIZE);
}

void Upgrader::up_cancel_upgrade()
{
    const quint8 argument = CANCEL_UPGRADE_ARG;
    send_frame(CMD_CANCEL_UPGRADE, &argument, 1);
}

void Upgrader::send_packet(const quint8 *data, int length)
{
    build_xmodem_block(m_packet_number, data, length, m_block);
    send_bytes(m_block, XMODEM_BLOCK_SIZE);
    ++m_blocks_sent;
    qDebug().noquote() << QStringLiteral("sending firmware packet id:%1").arg(m_packet_id);
}

void Upgrader::up_xmodem()
{
    if (m_xmodem_state != XMODEM_SENDING) {
        return;
    }
    if (m_packet_id < m_packets.size()) {
        const QByteArray &packet = m_packets[m_packet_id];
        send_packet(reinterpret_cast<const quint8 *>(packet.constData()), packet.size());
        if (!m_current_packet_sent) {
            // The first copy leaves first: once it has left, the device can
            // have the block, whatever became of later copies.
            m_current_packet_sent = true;
            m_current_packet_mark = m_channel->output_mark();
            ++m_packets_sent;
        }
    } else {
        qDebug().noquote() << QStringLiteral("packet id exceed max count, id:%1 count:%2")
                                  .arg(m_packet_id)
                                  .arg(m_packets.size());
    }
}

void Upgrader::update_sys_time()
{
    m_sys_time += CLOCK_TICK_MS;
    if (pause_passed()) {
        m_clock_timer->stop();
    }
}

bool Upgrader::pause_passed() const
{
    return m_sys_time - m_last_rx_time > FRAME_PAUSE_MS;
}

void Upgrader::wake_clock()
{
    // Still a counted timer: a stalled event loop delays the ticks, and the
    // pause is measured in ticks, as before.
    if (!pause_passed() && !m_clock_timer->isActive()) {
        m_clock_timer->start(CLOCK_TICK_MS);
    }
}

// ---------------------------------------------------------------- receiving

void Upgrader::hand_serial_data(QByteArray byte_array)
{
    // Looked at once per chunk: a result frame that ends the run still lets
    // the rest of its chunk through.
    if (!m_running) {
        return;
    }
    for (const char c : std::as_const(byte_array)) {
        const quint8 b = quint8(c);
        // The layer may change between two bytes of one chunk (erase
        // finished followed by the first NAK, end of transfer then result).
        if (m_xmodem_mode) {
            hand_xmodem_reply(b);
        } else if (decode_byte(b)) {
            hand_frame(m_rx_frame);
        }
    }
    wake_clock();
}

void Upgrader::start_rx_frame()
{
    m_rx_frame.length = 0;
    m_rx_index = 0;
    std::memset(m_rx_frame.payload, 0, sizeof m_rx_frame.payload);
    m_decoder_state = LENGTH_LOW;
}

bool Upgrader::decode_byte(quint8 b)
{
    // Bytes of one chunk share one clock reading, so this measures the gap
    // between chunks: a longer silence abandons a partial frame.
    if (m_sys_time - m_last_rx_time > FRAME_PAUSE_MS) {
        m_decoder_state = HUNTING;
        m_last_rx_time = m_sys_time;
        if (b == FRAME_START) {
            start_rx_frame();
        }
        return false;
    }
    m_last_rx_time = m_sys_time;

    switch (m_decoder_state) {
    case HUNTING:
        if (b == FRAME_START) {
            start_rx_frame();
        }
        return false;
    case LENGTH_LOW:
        m_rx_frame.length = b;
        m_decoder_state = LENGTH_HIGH;
        return false;
    case LENGTH_HIGH:
        m_rx_frame.length = quint16(m_rx_frame.length + (b << BITS_PER_BYTE));
        m_decoder_state = COMMAND;
        return false;
    case COMMAND:
        m_rx_frame.command = b;
        m_decoder_state = PAYLOAD;
        return false;
    case PAYLOAD:
        return take_payload_byte(b);
    }
    return false;
}

bool Upgrader::take_payload_byte(quint8 b)
{
    // A frame announcing more than the record holds is read to its announced
    // end without storing anything and then dropped: its bytes are not taken
    // for new frames, and no truncated payload is ever acted on.
    const bool fits = m_rx_frame.length <= PROTOCOL_MAX_PAYLOAD;
    if (m_rx_frame.length > m_rx_index) {
        if (fits) {
            m_rx_frame.payload[m_rx_index] = b;
        }
        ++m_rx_index;
    }
    // With length 0 this byte is a filler that only completes the frame.
    if (m_rx_index != m_rx_frame.length) {
        return false;
    }
    m_decoder_state = HUNTING;
    return fits;
}

void Upgrader::hand_frame(const ProtocolFrame &frame)
{
    switch (frame.command) {
    case CMD_FIRMWARE_INFO:
        on_firmware_info(frame);
        break;
    case CMD_ERASE_FINISHED:
        on_erase_finished();
        break;
    case CMD_UPGRADE_RESULT:
        on_upgrade_result(frame);
        break;
    default:
        // Our own commands echoed back, or codes this tool does not know.
        break;
    }
}

void Upgrader::on_firmware_info(const ProtocolFrame &frame)
{
    m_query_timer->stop();
    const QString text =
        QString::fromLocal8Bit(reinterpret_cast<const char *>(frame.payload), frame.length);
    qDebug() << "received firmware info:" << text;
    if (text.contains(QLatin1Char('_'))) {
        bool found = false;
        const QString version = version_from_identity_text(text, &found);
        if (found) {
            m_current_version = version;
        }
        emit device_info_update();
    }

    if (m_check_version) {
        emit upgrade_info(tr("Checking Version..."));
        up_cancel_upgrade();
        emit upgrade_info(tr("CheckVersion Finish!"));
        emit checkVersion_finished();
        return;
    }
    if (!table_usable()) {
        refuse_upgrade();
        return;
    }
    if (m_erase_gate && !m_erase_gate(text)) {
        up_cancel_upgrade();
        m_running = false;
        emit upgrade_finished();
        return;
    }
    up_begin_upgrade();
    emit upgrade_info(tr("Erasing Chip..."));
}

void Upgrader::refuse_upgrade()
{
    // The chosen firmware changed or failed to load while the run waited for
    // the device: end the run instead of erasing for a stale size.
    qDebug() << "upgrade stopped, firmware no longer loaded";
    // Over before it is reported, so that nobody watching the report sees a
    // run waiting for an erase that was never asked for.
    m_running = false;
    emit upgrade_info(tr("Upgrade faild!"));
    emit upgrade_finished();
}

void Upgrader::on_erase_finished()
{
    m_xmodem_mode = true;
    m_packet_number = 1;
    m_packet_id = 0;
    m_xmodem_state = XMODEM_READY;
    // The device starts the transfer over: what the last one achieved no
    // longer counts.
    reset_transfer_outcome();
    emit upgrade_info(tr("Erase finished, begin upgrade..."));
}

void Upgrader::on_upgrade_result(const ProtocolFrame &frame)
{
    m_last_result = frame.payload[UPGRADE_RESULT_INDEX];
    if (frame.payload[UPGRADE_RESULT_INDEX] == UPGRADE_RESULT_OK) {
        emit upgrade_info(tr("Upgrade finished!"));
    } else {
        emit upgrade_info(tr("Upgrade faild!"));
    }
    m_running = false;
    emit upgrade_finished();
}

void Upgrader::hand_xmodem_reply(quint8 b)
{
    if (b == XMODEM_NAK) {
        on_nak();
    } else if (b == XMODEM_ACK) {
        on_ack();
    }
}

void Upgrader::on_nak()
{
    m_xmodem_state = XMODEM_SENDING;
    ++*m_nak_count;
    // A block sent in answer to NAKs while the channel still holds unsent
    // output would only queue behind it: a device or a line that sends NAKs
    // faster than blocks leave would grow that queue without limit. The NAKs
    // are counted as ever; the next third one after the line drained sends.
    // The block that follows an ACK always goes out.
    if (*m_nak_count % NAKS_PER_BLOCK == 0 && m_channel->pending_output() == 0) {
        up_xmodem();
    }
}

void Upgrader::on_ack()
{
    // The device acknowledges the last block and then sends one more ACK;
    // only that one ends the transmission.
    if (m_packet_id >= m_packets.size()) {
        const quint8 end[] = {XMODEM_EOT, XMODEM_EOT_TRAILER};
        send_bytes(end, int(sizeof end));
        m_eot_sent = true;
        m_xmodem_state = XMODEM_WAIT_COMPLETION;
        emit upgrade_info(tr("Waitting for completion..."));
        m_xmodem_mode = false;
        return;
    }
    // Read at the moment the ACK is: whether the block had left by then.
    if (m_current_packet_sent && m_channel->departed_mark() >= m_current_packet_mark) {
        ++m_packets_acknowledged;
    }
    m_current_packet_sent = false;
    ++m_packet_number;
    ++m_packet_id;
    // Single precision, truncated: 53 of 100 blocks reads as 52 %.
    m_progress = int(float(m_packet_id) / float(m_packet_count) * float(PERCENT));
    emit upgrade_progress(m_progress);
    up_xmodem();
}
