#include "tests/support/fakedevice.h"
#include "tests/support/fakeline.h"
#include "tests/support/logcapture.h"
#include "upgrade/upgrader.h"

#include <QBuffer>
#include <QtTest>
#include <functional>

using dev::frame;
const QByteArray ACK(1, dev::ACK), NAK(1, dev::NAK), NAKS(3, dev::NAK);

const auto bytes = [](const char *hex) { return QByteArray::fromHex(hex); };

// An engine with its own channel on a fake line, NAK count and firmware path.
// The clock moves only when a test steps it.
struct EngineRig
{
    LogCapture log;
    FakeLine line;
    GPI channel;
    int naks = 0;
    QString firmware;
    Upgrader engine{&channel, &naks, &firmware};
    QStringList events; // "info:<text>", "progress:<n>", "finished", "checked", "device", "target"
    QTemporaryDir dir{QDir::tempPath() + "/fw_V-XXXXXX"}; // the marker only in the directory

    EngineRig()
    {
        channel.set_device(&line, [this] { line.discard(); });
        channel.openSerialPort(QString());
        engine.m_clock_timer->blockSignals(true);
        QObject::connect(&engine, &Upgrader::upgrade_info,
                         [this](QString t) { events << "info:" + t; });
        QObject::connect(&engine, &Upgrader::upgrade_progress,
                         [this](int value) { events << "progress:" + QString::number(value); });
        for (const auto &[signal, name] : {std::make_pair(&Upgrader::upgrade_finished, "finished"),
                                           {&Upgrader::checkVersion_finished, "checked"},
                                           {&Upgrader::device_info_update, "device"},
                                           {&Upgrader::target_firmware_update, "target"}}) {
            QObject::connect(&engine, signal, [this, name = name] { events << name; });
        }
    }

    void device(const QByteArray &chunk) { line.feed(chunk); }
    QByteArray takeSent() { return line.take_sent(); } // since the last call
    // Chooses and loads a file of this content followed by sparse zero bytes.
    bool load(const QByteArray &content, const QString &name = "KT62_V01.02.03.04.bin",
              qint64 sparse = 0)
    {
        QFile file(firmware = dir.filePath(name));
        const bool written = file.open(QIODevice::WriteOnly) &&
                             file.write(content) == content.size() &&
                             file.resize(content.size() + sparse);
        file.close();
        return written && engine.load_firmware();
    }
    // An upgrade up to the transfer, before the first NAK.
    void enterTransfer()
    {
        engine.start_upgrade();
        device(frame(dev::INFO, "KT62_V01.00.00.00") + frame(dev::ERASED, QByteArray(1, 0)));
        takeSent();
        events.clear();
    }
};

// A file whose size says more than it delivers: its end comes early.
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

using Step = std::function<void(EngineRig &)>;
using Percent = QMap<int, int>; // after so many acknowledged blocks
Q_DECLARE_METATYPE(Step)

static QByteArray ramp(int size) // the byte offsets in text: no two packets alike
{
    QByteArray out;
    while (out.size() < size) {
        out += QByteArray::number(out.size()) + ' ';
    }
    return out.left(size);
}

class TestUpgrade : public QObject
{
    Q_OBJECT
private slots:
    void queryAndBegin_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("wire"); // the query, then the erase request if any
        const auto row = [](const char *tag, QString file, qint64 size, QByteArray wire) {
            QTest::newRow(tag) << file << size << wire;
        };
        const QByteArray empty = bytes("24000010"), text = bytes("240b0010");
        row("8 bytes", "KT62_V01.02.03.04.bin", 8,
            text + "01.02.03.04" + bytes("2404002008000000"));
        row("0x01020304 bytes", "ab.bin.bin", 0x01020304, empty + bytes("2404002004030201"));
        row(".BIN kept, no erase for 0 bytes", "KT62_V01.02.03.BIN", 0, text + "1.02.03.BIN");
        row("15 characters", "abcdefghijklmno", 0, text + "efghijklmno");
        row("11 characters", "abcdefghijk.bin", 0, empty);
    }
    void queryAndBegin()
    {
        QFETCH(QString, file);
        QFETCH(qint64, size);
        EngineRig rig;
        QVERIFY(rig.load({}, file, size));
        rig.engine.up_query_firmware_info();
        rig.engine.up_begin_upgrade();
        QTEST(rig.takeSent(), "wire");
    }
    // The byte-array builder the simulator and test input use, against golden
    // bytes and against the engine's own record encoder.
    void buildFrame_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("cancel") << 0x21 << bytes("00") << bytes("2401002100");
        QTest::newRow("empty query") << 0x10 << QByteArray() << bytes("24000010");
        QTest::newRow("256 bytes, high length byte")
            << 0x11 << QByteArray(256, 'x') << bytes("24000111") + QByteArray(256, 'x');
    }
    void buildFrame()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, payload);
        QTEST(build_frame(quint8(command), payload), "wire");
        ProtocolFrame record{};
        record.length = quint16(payload.size());
        record.command = quint8(command);
        std::copy(payload.cbegin(), payload.cend(), record.payload);
        quint8 out[FRAME_HEADER_SIZE + PROTOCOL_MAX_PAYLOAD];
        const int size = encode_frame(record, out);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), size),
                 build_frame(quint8(command), payload));
    }
    void decoder_data()
    {
        QTest::addColumn<QByteArray>("chunks"); // in hex, separated by "|"
        QTest::addColumn<int>("pause");         // clock ms after each chunk
        QTest::addColumn<QString>("frames");    // command:payload
        const auto row = [](const char *tag, QByteArray chunks, int pause, QString frames) {
            QTest::newRow(tag) << chunks << pause << frames;
        };
        const QByteArray a = "2401001141", inner = QByteArray("2401001142").repeated(13108);
        row("split in three, pauses of 50", "2401|0011|41", 50, "11:41");
        row("noise before $", "00ff1306" + a, 0, "11:41");
        row("trailing bytes dropped", a + "9998|072401003500", 5, "11:41 35:00");
        row("$ in payload", "240300112442|43", 0, "11:244243");
        row("zero length plus filler", "24000022|7f" + a, 0, "22: 11:41");
        row("pause of 55", "240100|1141", 55, "");
        // Longer than the record: read to the announced end and dropped, the
        // frames inside not taken.
        row("2000 bytes", "24d00711" + inner.left(4000) + a, 0,
            "11:" + inner.left(4000) + " 11:41");
        row("2001 bytes", "24d10711" + inner.left(4002) + "|" + a, 0, "11:41");
        row("65535 bytes", "24ffff11" + inner.left(131070) + "|" + a, 0, "11:41");
    }
    void decoder()
    {
        QFETCH(QByteArray, chunks);
        QFETCH(int, pause);
        EngineRig rig;
        QTimer *const after_record = rig.engine.m_query_timer;
        QStringList got;
        for (const QByteArray &chunk : chunks.split('|')) {
            for (const char c : QByteArray::fromHex(chunk)) {
                const ProtocolFrame &f = rig.engine.m_rx_frame;
                if (rig.engine.decode_byte(quint8(c))) {
                    const QByteArray payload(reinterpret_cast<const char *>(f.payload), f.length);
                    got << QString::number(f.command, 16) + ":" + payload.toHex();
                }
            }
            for (int ms = 0; ms < pause; ms += CLOCK_TICK_MS) {
                rig.engine.update_sys_time();
            }
        }
        QTEST(got.join(' '), "frames");
        QCOMPARE(rig.engine.m_query_timer, after_record); // nothing written past the record
    }
    // The receive clock sleeps once a pause has passed: the same chunks at the same gaps make the
    // same frames as with a clock that never stops.
    void sleepingClock_data()
    {
        QTest::addColumn<QByteArray>("chunks"); // in hex, "|" between chunks
        QTest::addColumn<QList<int>>("gaps");   // clock ticks after each chunk
        const QByteArray info = "240e0011415f563132333435363738393031";
        QTest::newRow("frame over 50 ms")
            << "240e00|" + info.mid(6) + "|" + info << QList<int>{10, 30, 0};
        QTest::newRow("frame over 55 ms")
            << "240e00|" + info.mid(6) + "|" + info << QList<int>{11, 30, 0};
        QTest::newRow("pause, then a fresh frame") << "2401|00|" + info << QList<int>{3, 40, 20};
        QTest::newRow("frames after long silences")
            << info + "|" + info + "|2401|0011|41" << QList<int>{500, 12, 1, 9, 0};
    }
    void sleepingClock()
    {
        QFETCH(QByteArray, chunks);
        QFETCH(QList<int>, gaps);
        EngineRig sleeping, always;
        for (EngineRig *rig : {&sleeping, &always}) {
            rig->engine.start_check_version();
        }
        const QList<QByteArray> parts = chunks.split('|');
        for (int i = 0; i < parts.size(); ++i) {
            for (EngineRig *rig : {&sleeping, &always}) {
                rig->device(QByteArray::fromHex(parts.at(i)));
            }
            for (int tick = 0; tick < gaps.at(i); ++tick) {
                always.engine.update_sys_time();
                // A timer that is asleep does not tick.
                if (sleeping.engine.m_clock_timer->isActive()) {
                    sleeping.engine.update_sys_time();
                }
            }
        }
        QVERIFY(!sleeping.events.isEmpty());
        QCOMPARE(sleeping.events, always.events);
        QVERIFY(sleeping.engine.m_sys_time < always.engine.m_sys_time); // it did sleep
    }
    // An ACK counts only for a block that had left the program when the ACK was read; the wire
    // and the engine's stepping do not change for it.
    void ackBeforeDeparture()
    {
        EngineRig rig;
        QVERIFY(rig.load(ramp(1500)));
        rig.enterTransfer();
        rig.line.stalled = true;
        rig.device(NAKS + ACK); // the first block, still held, acknowledged; the second queued
        QCOMPARE(rig.engine.packets_acknowledged(), 0);
        QCOMPARE(rig.events, QStringList{"progress:50"});
        rig.line.drain();
        rig.device(ACK + ACK); // the second block had left; then the end of transmission
        QCOMPARE(rig.engine.packets_acknowledged(), 1);
        QVERIFY(rig.engine.end_of_transmission_sent());
        QCOMPARE(rig.takeSent().size(), 2 * dev::BLOCK + 2);
    }
    void router_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<QByteArray>("chunks"); // in hex, separated by "|"
        QTest::addColumn<int>("naks");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("events");
        const auto row = [](const char *tag, bool running, QByteArray chunks, int naks,
                            QByteArray sent, QStringList events) {
            QTest::newRow(tag) << running << chunks << naks << sent << events;
        };
        const QString erased = "info:Erase finished, begin upgrade...";
        const QStringList ended{erased, "progress:100", "info:Waitting for completion..."};
        const QByteArray block = bytes("0201fe") + QByteArray(1024, '\xff') + bytes("00");
        row("idle: chunk dropped", false, "2401002200151515", 0, {}, {});
        row("layer switch inside a chunk", true, "2401002200151515", 3, block, {erased});
        row("zero-length frame takes a NAK", true, "24000022151515", 2, {}, {erased});
        row("end, failing result", true, "2401002200151515|06062401003501", 3,
            block + bytes("0400"), ended + QStringList{"info:Upgrade faild!", "finished"});
    }
    void router()
    {
        QFETCH(bool, running);
        QFETCH(QByteArray, chunks);
        EngineRig rig;
        rig.engine.m_packets = {QByteArray(1024, '\xff')};
        rig.engine.m_packet_count = 1;
        rig.engine.m_running = running;
        for (const QByteArray &chunk : chunks.split('|')) {
            rig.device(QByteArray::fromHex(chunk));
        }
        QTEST(rig.naks, "naks");
        QTEST(rig.takeSent(), "sent");
        QTEST(rig.events, "events");
    }
    // Checksums worked out by hand: the sum of the data bytes, carries past 8 bits dropped.
    void blockChecksum_data()
    {
        QTest::addColumn<QByteArray>("data"); // the packet's first bytes; zeros follow
        QTest::addColumn<QByteArray>("sum");
        QTest::newRow("0x80 + 0x80 + 0x01 = 0x101") << bytes("808001") << bytes("01");
        QTest::newRow("100 times 0x03 = 300 = 0x12c") << QByteArray(100, 3) << bytes("2c");
        QTest::newRow("1024 times 0x01 = 0x400") << QByteArray(1024, 1) << bytes("00");
        QTest::newRow("0xfe at the end") << QByteArray(1023, 0) + bytes("fe") << bytes("fe");
    }
    void blockChecksum()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, sum);
        EngineRig rig;
        const QByteArray packet = data.leftJustified(1024, 0);
        rig.engine.m_packets = {packet};
        rig.engine.m_packet_count = 1;
        rig.engine.m_running = true;
        rig.device(bytes("2401002200151515"));
        QCOMPARE(rig.takeSent(), bytes("0201fe") + packet + sum);
    }
    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("version");
        QTest::newRow("good") << QByteArray("KT62_V01.02.03.04") << "01.02.03.04";
        QTest::newRow("too short") << QByteArray("KT62_V01.02.03.0") << "old";
        QTest::newRow("without _V") << QByteArray("KT62_X01.02.03.04") << "01.02.03.04";
        QTest::newRow("non-ASCII bytes")
            << QByteArray("\xb0\xe6\x01_V01.02.03.04_\xff\xfe") << "01.02.03.04";
    }
    void versionCheck()
    {
        QFETCH(QByteArray, answer);
        EngineRig rig;
        rig.line.stalled = true; // the bytes stay queued until the end
        rig.engine.m_current_version = "old";
        rig.engine.start_check_version();
        // The query follows a second later, and every second after that.
        const QTimer *query = rig.engine.m_query_timer;
        QVERIFY(query->isActive() && query->interval() == 1000 && !query->isSingleShot());
        rig.engine.up_query_firmware_info();
        rig.device(frame(dev::INFO, answer));
        QString line;
        QDebug(&line) << "received firmware info:" << QString::fromLocal8Bit(answer);
        QVERIFY2(rig.log.contains(line.chopped(1)), qPrintable(line));
        QCOMPARE(rig.events, (QStringList{"device", "info:Checking Version...",
                                          "info:CheckVersion Finish!", "checked"}));
        rig.engine.stop_upgrade(); // does not cut the cancel frame
        rig.line.drain();
        QCOMPARE(rig.takeSent(), bytes("24000799000023 24000010 2401002100"));
        QTEST(rig.engine.m_current_version, "version");
    }
    void progress_data()
    {
        QTest::addColumn<int>("packets");
        QTest::addColumn<Percent>("percent");
        QTest::newRow("3 packets") << 3 << Percent{{1, 33}, {2, 66}, {3, 100}};
        // Single precision: 53/100 and 59/100 fall just short.
        QTest::newRow("100 packets") << 100 << Percent{{53, 52}, {59, 58}, {100, 100}};
        QTest::newRow("257 packets") << 257 << Percent{{256, 99}, {257, 100}};
    }
    void progress()
    {
        QFETCH(int, packets);
        QFETCH(Percent, percent);
        EngineRig rig;
        const QByteArray content = ramp(packets * 1024 - 100);
        QVERIFY(rig.load(content));
        rig.enterTransfer();
        rig.device(NAKS + ACK.repeated(packets));
        for (auto it = percent.cbegin(); it != percent.cend(); ++it) {
            QCOMPARE(rig.events[it.key() - 1], "progress:" + QString::number(it.value()));
        }
        // Every packet went out once, in order, numbered from 1 (256 as 0), the last padded.
        const QByteArray sent = rig.takeSent(), all = content.leftJustified(packets * 1024, 0x1a);
        QCOMPARE(sent.size(), packets * 1028);
        for (int block = 0; block < packets; ++block) {
            const char n = char(block + 1);
            QCOMPARE(sent.mid(block * 1028, 3), QByteArray(1, dev::STX) + n + char(0xff - n));
            QCOMPARE(sent.mid(block * 1028 + 3, 1024), all.mid(block * 1024, 1024));
        }
        // Only the next ACK ends the transmission; who hears it sees the wait for the result.
        UpgradePhase heard = UpgradePhase::Idle;
        QObject::connect(&rig.engine, &Upgrader::upgrade_info,
                         [&rig, &heard] { heard = rig.engine.phase(); });
        rig.device(ACK);
        QCOMPARE(rig.takeSent(), bytes("0400"));
        QCOMPARE(rig.events.last(), QString("info:Waitting for completion..."));
        QCOMPARE(heard, UpgradePhase::Completion);
    }
    void naksCountAcrossRuns()
    {
        EngineRig rig;
        QVERIFY(rig.load(ramp(1024)));
        rig.enterTransfer();
        const auto sentAfter = [&rig](const QByteArray &naks) {
            rig.device(naks);
            return rig.takeSent().left(3);
        };
        const QByteArray none, block = bytes("0201fe");
        QCOMPARE(sentAfter(NAK + NAK), none);
        QCOMPARE(sentAfter(NAK), block);
        // A repeat is asked for with NAKs too: again only every third one.
        QCOMPARE(sentAfter(NAK + NAK), none);
        QCOMPARE(sentAfter(NAK + NAK), block);
        rig.device(ACK + ACK + frame(dev::RESULT, QByteArray(1, 0)));
        QCOMPARE(rig.events.last(), QString("finished"));
        // The count goes on in the next run: 8 sends nothing, 9 the block.
        rig.enterTransfer();
        QCOMPARE(sentAfter(NAK), none);
        QCOMPARE(sentAfter(NAK), block);
    }
    // A NAK storm on a line that stopped draining: what stays queued for it
    // after what followed, and the NAKs counted.
    void stalledLine_data()
    {
        QTest::addColumn<Step>("then");
        QTest::addColumn<int>("held");
        QTest::addColumn<int>("naks");
        const Step stop = [](EngineRig &r) { r.engine.stop_upgrade(); };
        QTest::newRow("one block") << Step([](EngineRig &) {}) << 1028 << 3000;
        QTest::newRow("the block after an ACK")
            << Step([](EngineRig &r) { r.device(ACK + NAKS); }) << 2 * 1028 << 3003;
        QTest::newRow("cancel drops it") << stop << 0 << 3000;
        // The port may be gone there; it is closed right after.
        QTest::newRow("no drop in the error report") << Step([stop](EngineRig &r) {
            QObject::connect(&r.channel, &GPI::serial_status_changed, [&r, stop] { stop(r); });
            r.channel.handle_error(QSerialPort::ResourceError);
        }) << 1028 << 3000;
    }
    void stalledLine()
    {
        QFETCH(Step, then);
        EngineRig rig;
        QVERIFY(rig.load(ramp(3000)));
        rig.enterTransfer();
        rig.line.stalled = true;
        rig.device(NAK.repeated(3000));
        then(rig);
        QTEST(int(rig.line.held.size()), "held");
        QTEST(rig.naks, "naks");
    }
    // What owners judge a run by: its phase, the packets sent and then
    // acknowledged, the end of transmission and the result byte.
    void outcome_data()
    {
        QTest::addColumn<bool>("check");
        QTest::addColumn<QByteArray>("chunks"); // device chunks; "|" separates them
        QTest::addColumn<QString>("outcome");   // phase sent acknowledged eot result
        const QByteArray info = frame(dev::INFO, "KT62_V01.00.00.00"),
                         erased = frame(dev::ERASED, QByteArray(1, 0)),
                         ok = frame(dev::RESULT, QByteArray(1, 0));
        const auto row = [](const char *tag, bool check, QByteArray chunks, QString outcome) {
            QTest::newRow(tag) << check << chunks << outcome;
        };
        row("querying", false, "", "Querying 0 0 0 -1");
        row("check answered", true, info, "CheckDone 0 0 0 -1");
        row("erasing", false, info, "Erasing 0 0 0 -1");
        row("transfer, nothing asked", false, info + "|" + erased, "Transfer 0 0 0 -1");
        row("first block out", false, info + "|" + erased + NAKS, "Transfer 1 0 0 -1");
        row("whole image", false, info + "|" + erased + NAKS + ACK + ACK + ACK,
            "Completion 2 2 1 -1");
        row("success after the image", false,
            info + "|" + erased + NAKS + ACK + ACK + ACK + "|" + ok, "Idle 2 2 1 0");
        // The first block is acknowledged before it was ever sent.
        row("ACK before its block", false, info + "|" + erased + ACK + NAKS + ACK + ACK + "|" + ok,
            "Idle 1 1 1 0");
        row("success before the transfer", false, info + "|" + ok, "Idle 0 0 0 0");
        row("failure result", false,
            info + "|" + erased + NAKS + ACK + ACK + ACK + "|" +
                frame(dev::RESULT, QByteArray(1, 7)),
            "Idle 2 2 1 7");
        row("transfer started over", false,
            info + "|" + erased + NAKS + ACK + ACK + ACK + "|" + erased + NAKS,
            "Transfer 1 0 0 -1");
    }
    void outcome()
    {
        QFETCH(bool, check);
        QFETCH(QByteArray, chunks);
        EngineRig rig;
        QVERIFY(rig.load(ramp(1500)));
        check ? rig.engine.start_check_version() : void(rig.engine.start_upgrade());
        for (const QByteArray &chunk : chunks.split('|')) {
            rig.device(chunk);
            // A pause between chunks, as the line would have.
            for (quint64 ms = 0; ms <= FRAME_PAUSE_MS; ms += CLOCK_TICK_MS) {
                rig.engine.update_sys_time();
            }
        }
        const char *const names[] = {"Idle",    "Querying", "CheckDone",
                                     "Erasing", "Transfer", "Completion"};
        QTEST(QString("%1 %2 %3 %4 %5")
                  .arg(names[int(rig.engine.phase())])
                  .arg(rig.engine.packets_sent())
                  .arg(rig.engine.packets_acknowledged())
                  .arg(int(rig.engine.end_of_transmission_sent()))
                  .arg(rig.engine.last_result()),
              "outcome");
    }
    void load_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("sparse"); // zero bytes after the content
        QTest::addColumn<int>("packets");
        QTest::addColumn<QString>("identity"); // signals, then model and target version
        const auto row = [](const char *tag, QString name, QByteArray content, qint64 sparse,
                            int packets, QString identity) {
            QTest::newRow(tag) << name << content << sparse << packets << identity;
        };
        const QString fw = "KT62_V01.02.03.04.bin", loaded = "target device KT62 01.02.03.04";
        row("0 bytes", fw, {}, 0, 0, loaded);
        row("1 byte", fw, ramp(1), 0, 1, loaded);
        row("1024 bytes", fw, ramp(1024), 0, 1, loaded);
        row("1025 bytes", fw, ramp(1025), 0, 2, loaded);
        row("65535 packets", fw, {}, 65535 * 1024, 65535, loaded);
        row("short version", "KT62_V2.06.bin", ramp(9), 0, 1, "device KT62 09.09.09.09");
        row("_V only in the directory", "KT62.bin", ramp(9), 0, 1, "OLD 09.09.09.09");
    }
    void load()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(qint64, sparse);
        QFETCH(int, packets);
        EngineRig rig;
        QVERIFY(rig.load(QByteArray(3000, 'p'), "OLD_V09.09.09.09.bin")); // to be replaced
        rig.events.clear();
        QVERIFY(rig.load(content, name, sparse));
        QCOMPARE(int(rig.engine.m_packet_count), packets);
        QCOMPARE(qint64(rig.engine.m_firmware_size), content.size() + sparse);
        QCOMPARE(packet_count_for(content.size() + sparse), qint64(packets)); // as others count
        QByteArray all;
        for (const QByteArray &packet : rig.engine.m_packets) {
            all += packet;
        }
        QCOMPARE(all, (content + QByteArray(int(sparse), 0)).leftJustified(packets * 1024, 0x1a));
        rig.events << rig.engine.m_device_model << rig.engine.m_target_version;
        QTEST(rig.events.join(' '), "identity");
        const QString line = QString("\"%1\" firwmare sliced into  %2 packet");
        QVERIFY(rig.log.contains(line.arg(rig.firmware).arg(packets)));
    }
    // Cancel, and every way the table can stop matching the chosen file while
    // the upgrade waits for the device: no erase goes out after them.
    void noErase_data()
    {
        QTest::addColumn<Step>("spoil");
        QTest::addColumn<QStringList>("events");
        const QStringList refused{"device", "info:Upgrade faild!", "finished"};
        QTest::newRow("cancel while querying")
            << Step([](EngineRig &r) { r.engine.stop_upgrade(); }) << QStringList{"info:"};
        QTest::newRow("cancel during the transfer") << Step([](EngineRig &r) {
            r.enterTransfer();
            r.device(NAKS);
            r.engine.stop_upgrade();
        }) << QStringList{"info:"};
        QTest::newRow("empty image")
            << Step([](EngineRig &r) { r.load({}); }) << QStringList{"target", "device"} + refused;
        QTest::newRow("other file chosen")
            << Step([](EngineRig &r) { r.firmware += "x"; }) << refused;
        QTest::newRow("65536 packets")
            << Step([](EngineRig &r) { r.load({}, "a", 65535 * 1024 + 1); }) << refused;
        QTest::newRow("read error midway") << Step([](EngineRig &r) {
            FailingDevice file;
            r.engine.load_firmware_from(file, r.firmware);
        }) << refused;
        // The file ends before the size it had when the load began (cut short meanwhile).
        QTest::newRow("reads short midway") << Step([](EngineRig &r) {
            ShortFile file(QByteArray(3000, 'a'), 5000);
            r.engine.load_firmware_from(file, r.firmware);
        }) << refused;
    }
    void noErase()
    {
        QFETCH(Step, spoil);
        EngineRig rig;
        QVERIFY(rig.load(QByteArray(5000, 'a')) && rig.engine.start_upgrade());
        rig.events.clear();
        spoil(rig);
        // A load that went wrong says so; an empty one has nothing to send.
        QVERIFY(!rig.engine.firmware_ready() || rig.engine.m_packets.empty());
        rig.takeSent();
        // Whoever hears the refusal finds the run already over.
        QList<UpgradePhase> phases;
        QObject::connect(&rig.engine, &Upgrader::upgrade_info,
                         [&rig, &phases] { phases << rig.engine.phase(); });
        rig.device(frame(dev::INFO, "KT62_V01.00.00.00") + ACK + NAKS);
        QTEST(rig.events, "events");
        QVERIFY(!phases.contains(UpgradePhase::Erasing));
        QVERIFY(!rig.engine.m_running && !rig.engine.m_query_timer->isActive());
        QVERIFY(!rig.engine.start_upgrade());
        rig.engine.up_begin_upgrade();
        QCOMPARE(rig.takeSent(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
