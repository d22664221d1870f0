#ifndef KT62_UPGRADER_H
#define KT62_UPGRADER_H

#include "serial/gpi.h"
#include "upgrade/protocol.h"
#include "upgrade/upgrade_phase.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

// NAK bytes received in the transfer layer since the program started. A block
// goes out on every third one (unless the line still holds the last one); the
// count is deliberately never reset.
extern int g_nak_count;
// Path of the chosen firmware file; empty means none is chosen.
extern QString g_firmware_file;

enum XmodemState
{
    XMODEM_IDLE = 0,
    XMODEM_READY = 1,
    XMODEM_SENDING = 2,
    XMODEM_WAIT_COMPLETION = 3,
};

// The protocol engine. One object per device link; the GUI uses the
// program-wide channel, NAK counter and firmware path, while a tool serving
// several ports hands each engine its own.
class Upgrader : public QObject
{
    Q_OBJECT
public:
    explicit Upgrader(GPI *channel = &g_gpi, int *nak_count = &g_nak_count,
                      QString *firmware_file = &g_firmware_file, QObject *parent = nullptr);

    // Returns false, sending nothing, when no packet table from a successful
    // load of the chosen file is at hand (an erase must never go out with the
    // size of some other image, nor for an image with no packets).
    bool start_upgrade();
    void start_check_version();
    // Ends the active run: no more queries, received chunks dropped, no
    // firmware chosen, and what the channel still holds for the device
    // dropped (except inside its error report, and the cancel frame of a
    // version check that got its answer).
    void stop_upgrade();
    void clear_firmware_file();
    // A refused firmware file: no file chosen, and neither its model nor
    // its version describes what would be sent.
    void forget_firmware();
    // Returns whether the chosen file was read whole into the packet table.
    // A file that cannot be opened or read to its end, or that has more
    // than MAX_PACKET_COUNT packets, leaves the table empty.
    bool load_firmware();
    // The same from an open device standing for the file at path (the name
    // rules are applied to path).
    bool load_firmware_from(QIODevice &source, const QString &path);
    // Takes the packet table of an engine that loaded the same chosen file,
    // instead of reading it again: the packets are shared, not copied, so
    // engines serving many ports hold the image once. False, changing
    // nothing, when other holds no successful load of that file.
    bool adopt_table(const Upgrader &other);
    // Whether the table holds the last successful load of the chosen file.
    // An empty file loads successfully, with no packets.
    bool firmware_ready() const;

    quint16 m_packet_count = 0;
    quint32 m_firmware_size = 0;
    int m_packet_size = FIRMWARE_PACKET_SIZE;
    std::vector<QByteArray> m_packets;
    int m_progress = 0;
    bool m_running = false;
    bool m_check_version = false;
    ProtocolFrame m_rx_frame{};
    QTimer *m_query_timer = nullptr;
    QTimer *m_clock_timer = nullptr;
    QString m_device_model;
    QString m_current_version;
    QString m_target_version;
    quint64 m_sys_time = 0;
    quint64 m_last_rx_time = 0;
    bool m_xmodem_mode = false;
    int m_xmodem_state = XMODEM_IDLE;
    quint8 m_packet_number = 1;
    quint16 m_packet_id = 0;

    // Read-only views for owners other than the upgrade dialog (which reads
    // the members above directly).
    bool running() const { return m_running; }
    QString current_version() const { return m_current_version; }
    quint32 firmware_size() const { return m_firmware_size; }
    int packet_count() const { return m_packet_count; }
    int packet_size() const { return m_packet_size; }
    const std::vector<QByteArray> &packets() const { return m_packets; }
    // Blocks written since construction, repeats included (for reports).
    quint32 blocks_sent() const { return m_blocks_sent; }
    // Ends a version check that got its answer: the engine leaves a finished
    // check marked as running, for its owner to end.
    void end_check();

    // What the run has achieved, for owners that must judge its outcome.
    UpgradePhase phase() const;
    // Packets of this transfer written at least once.
    int packets_sent() const { return m_packets_sent; }
    // Packets of this transfer acknowledged after they had left this program
    // (the channel held none of their bytes when the ACK was read). An ACK
    // for a block still queued here answers nothing that was sent: a device
    // that acknowledges blindly gets no credit. A real device acknowledges
    // only what arrived, so it always counts.
    int packets_acknowledged() const { return m_packets_acknowledged; }
    // Whether this run sent the end of transmission (a restarted transfer
    // takes it back).
    bool end_of_transmission_sent() const { return m_eot_sent; }
    // Byte 0 of the result frame of this run; -1 before one arrived.
    int last_result() const { return m_last_result; }

    // Asked with the text of this run's answer to the query, just before the
    // erase would go out. False keeps the device as it is: the cancel frame
    // goes out instead (as it ends a version check), nothing is erased, and
    // the run ends with upgrade_finished() and no result. Unset (the GUI):
    // every answer is followed by the erase.
    using EraseGate = std::function<bool(const QString &answer)>;
    void set_erase_gate(EraseGate gate) { m_erase_gate = std::move(gate); }

    // Called after every query frame has gone to the channel: the wait for
    // the device's answer starts there, not at the start of the run.
    void set_query_hook(std::function<void()> hook) { m_query_hook = std::move(hook); }

signals:
    void upgrade_finished();
    void checkVersion_finished();
    void upgrade_progress(int value);
    void upgrade_info(QString msg);
    void device_info_update();
    void target_firmware_update();

public slots:
    void hand_serial_data(QByteArray byte_array);
    void up_query_firmware_info();
    void up_begin_upgrade();
    void up_cancel_upgrade();
    void up_xmodem();
    void update_sys_time();

public:
    // One step of the receive decoder; true when b completed m_rx_frame.
    bool decode_byte(quint8 b);
    void hand_frame(const ProtocolFrame &frame);
    void hand_xmodem_reply(quint8 b);
    void send_packet(const quint8 *data, int length);

    GPI *channel() const { return m_channel; }
    int nak_count() const { return *m_nak_count; }
    QString firmware_file() const { return *m_firmware_file; }

private:
    enum DecoderState
    {
        HUNTING,
        LENGTH_LOW,
        LENGTH_HIGH,
        COMMAND,
        PAYLOAD
    };

    void begin_run(bool check_version);
    void send_frame(quint8 command, const quint8 *payload, int length);
    void send_bytes(const quint8 *data, int length);
    void start_rx_frame();
    bool take_payload_byte(quint8 b);
    void on_firmware_info(const ProtocolFrame &frame);
    void on_erase_finished();
    void on_upgrade_result(const ProtocolFrame &frame);
    void on_ack();
    void on_nak();
    void refuse_upgrade();
    void drop_unsent_output();
    // Whether the table is ready and has something to send: the only state
    // in which an erase may be asked for.
    bool table_usable() const;
    void forget_table();
    void reset_transfer_outcome();
    void apply_identity(const QString &path);
    // Whether the decoder's pause has passed: the next chunk starts afresh.
    bool pause_passed() const;
    // The receive clock runs only while a pause can still be measured.
    void wake_clock();

    GPI *m_channel;
    int *m_nak_count;
    QString *m_firmware_file;
    DecoderState m_decoder_state = HUNTING;
    quint16 m_rx_index = 0;
    // Path and success of the last load; the transfer trusts the table only
    // when it came from a successful load of the file still chosen.
    QString m_loaded_file;
    bool m_load_ok = false;
    quint8 m_block[XMODEM_BLOCK_SIZE] = {};
    // Outcome of the current run (see the queries above).
    bool m_current_packet_sent = false;
    qint64 m_current_packet_mark = 0; // channel mark of its first copy's last byte
    int m_packets_sent = 0;
    int m_packets_acknowledged = 0;
    bool m_eot_sent = false;
    int m_last_result = -1;
    EraseGate m_erase_gate;
    std::function<void()> m_query_hook;
    quint32 m_blocks_sent = 0;
};

#endif
