// Arbitrary chunks with arbitrary clock ticks between them, into the
// engine's receive path, starting from every state of a run.
#include "fuzz/fuzzsupport.h"
#include "upgrade/upgrader.h"

#include <QFile>

namespace {
Upgrader *g_engine = nullptr;
QTimer *g_query_timer = nullptr;
QTimer *g_clock_timer = nullptr;

// Every block on the wire must come from the transfer layer's sending state.
void watch_sends(const QByteArray &written)
{
    if (g_engine && written.size() == XMODEM_BLOCK_SIZE && quint8(written.at(0)) == XMODEM_STX) {
        FUZZ_CHECK(g_engine->m_xmodem_mode);
        FUZZ_CHECK(g_engine->m_xmodem_state == XMODEM_SENDING);
    }
}

QString firmware_path()
{
    static QString path;
    if (path.isEmpty()) {
        path = fuzz_scratch_dir() + QStringLiteral("/KT62_V01.02.03.04.bin");
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray(3 * FIRMWARE_PACKET_SIZE - 100, '\x5a'));
    }
    return path;
}

enum StartState
{
    IDLE,
    QUERYING,
    CHECKING,
    ERASING,
    TRANSFERRING,
    WAITING_RESULT,
    STATE_COUNT
};

void drive_to(Upgrader &engine, int state)
{
    if (state == IDLE) {
        return;
    }
    if (state == CHECKING) {
        engine.start_check_version();
        return;
    }
    FUZZ_CHECK(engine.start_upgrade());
    if (state == QUERYING) {
        return;
    }
    engine.hand_serial_data(build_frame(CMD_FIRMWARE_INFO, "KT62_V01.00.00.00"));
    if (state == ERASING) {
        return;
    }
    engine.hand_serial_data(build_frame(CMD_ERASE_FINISHED, QByteArray(1, '\0')) +
                            QByteArray(3, char(XMODEM_NAK)));
    if (state == TRANSFERRING) {
        return;
    }
    engine.hand_serial_data(QByteArray(engine.m_packet_count + 1, char(XMODEM_ACK)));
    FUZZ_CHECK(engine.m_xmodem_state == XMODEM_WAIT_COMPLETION);
}

void check_invariants(const Upgrader &engine)
{
    // An overlong frame must not spill out of the receive record into the
    // members that follow it.
    FUZZ_CHECK(engine.m_query_timer == g_query_timer);
    FUZZ_CHECK(engine.m_clock_timer == g_clock_timer);
    FUZZ_CHECK(engine.m_packet_id <= engine.m_packets.size());
    FUZZ_CHECK(engine.m_packet_count == engine.m_packets.size());
    FUZZ_CHECK(engine.m_progress >= 0 && engine.m_progress <= 100);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init_application(fuzz_quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size};
    FuzzLine line(watch_sends);
    GPI channel;
    channel.set_device(&line);
    channel.openSerialPort(QString());
    int naks = in.byte() % 3; // where the never-reset NAK count happens to stand
    QString firmware = firmware_path();
    Upgrader engine(&channel, &naks, &firmware);
    engine.m_clock_timer->stop(); // time moves only when the input says so
    FUZZ_CHECK(engine.load_firmware());
    g_query_timer = engine.m_query_timer;
    g_clock_timer = engine.m_clock_timer;

    drive_to(engine, in.byte() % STATE_COUNT);
    g_engine = &engine;
    while (!in.atEnd()) {
        const uint8_t op = in.byte();
        if (op & 0x80) {
            for (int i = 0; i < (op & 0x7f); ++i) {
                engine.update_sys_time();
            }
        } else {
            engine.hand_serial_data(in.bytes(size_t(op) + 1));
        }
        check_invariants(engine);
    }
    g_engine = nullptr;
    return 0;
}
