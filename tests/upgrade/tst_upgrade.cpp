// The protocol engine against a fake line: frames and blocks on the wire, the receive decoder and
// its clock, NAK pacing, progress, a run's outcome, and the loader's packet table.
#include "tests/support/fakedevice.h"
#include "tests/support/fakeline.h"
#include "tests/support/logcapture.h"
#include "upgrade/upgrader.h"

#include <QBuffer>
#include <QtTest>

namespace {
using dev::frame;
const QByteArray ACK(1, dev::ACK), NAK(1, dev::NAK), NAKS(3, dev::NAK);
const QByteArray INFO = frame(dev::INFO, "KT62_V01.00.00.00");
const QByteArray ERASED = frame(dev::ERASED, QByteArray(1, 0));
const QString FIRMWARE = "KT62_V01.02.03.04.bin";
constexpr int LIMIT_MS = 10000;

const auto bytes = [](const char *text) { return QByteArray::fromHex(text); };
const auto result = [](char code) { return frame(dev::RESULT, QByteArray(1, code)); };
using Percent = QMap<int, int>; // after so many acknowledged blocks
QByteArray ramp(int size)       // the byte offsets in text: no two packets alike
{
    QByteArray out;
    while (out.size() < size) {
        out += QByteArray::number(out.size()) + ' ';
    }
    return out.left(size);
}

// An engine with its own channel on a fake line, NAK count and firmware path. The receive clock
// moves only when a test steps it.
struct EngineRig
{
    LogCapture log;
    FakeLine line;
    GPI channel;
    int naks = 0;
    QString firmware;
    Upgrader engine{&channel, &naks, &firmware};
    QStringList events; // "info:<text>", "progress:<n>", "finished", "device", "target"
    QTemporaryDir dir;

    EngineRig()
    {
        channel.set_device(&line, [this] { line.discard(); });
        channel.openSerialPort(QString());
        engine.m_clock_timer->blockSignals(true);
        QObject::connect(&engine, &Upgrader::upgrade_info,
                         [this](QString t) { events << "info:" + t; });
        QObject::connect(&engine, &Upgrader::upgrade_progress,
                         [this](int value) { events << "progress:" + QString::number(value); });
        for (const auto &[signal, name] : {std::pair(&Upgrader::upgrade_finished, "finished"),
                                           {&Upgrader::device_info_update, "device"},
                                           {&Upgrader::target_firmware_update, "target"}}) {
            QObject::connect(&engine, signal, [this, name = name] { events << name; });
        }
    }
    void device(const QByteArray &chunk) { line.feed(chunk); }
    QByteArray takeSent() { return line.take_sent(); } // since the last call
    void pause(int ms)
    {
        for (int at = 0; at < ms; at += CLOCK_TICK_MS) {
            engine.update_sys_time();
        }
    }
    // Chooses and loads a file of this content followed by sparse zero bytes.
    bool load(const QByteArray &content, qint64 sparse = 0)
    {
        QFile file(firmware = dir.filePath(FIRMWARE));
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
        device(INFO + ERASED);
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

enum Spoil
{
    CancelQuerying,
    CancelTransfer,
    EmptyImage,
    OtherFile,
    ReadFails,
    EndsEarly
};
} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT
private slots:
    // The builder that the simulator and test input use (the engine's own encoder is checked by
    // what the engine sends).
    void buildFrame()
    {
        QCOMPARE(build_frame(0x21, bytes("00")), bytes("2401002100"));
        QCOMPARE(build_frame(0x10, {}), bytes("24000010"));
        QCOMPARE(build_frame(0x11, QByteArray(256, 'x')), bytes("24000111") + QByteArray(256, 'x'));
    }
    // The query asks about the file's version (the name rule), the erase gives its size.
    void queryAndErase()
    {
        EngineRig rig;
        QVERIFY(rig.load({}, 0x01020304));
        rig.engine.up_query_firmware_info();
        rig.engine.up_begin_upgrade();
        QCOMPARE(rig.takeSent(), bytes("240b0010") + "01.02.03.04" + bytes("2404002004030201"));
    }
    // The first query goes out a second after the start sequence, then once a second.
    void queryEverySecond()
    {
        EngineRig rig;
        QElapsedTimer clock;
        clock.start();
        rig.engine.start_check_version();
        QCOMPARE(rig.takeSent(), bytes("24000799000023"));
        QList<qint64> queries;
        QVERIFY(QTest::qWaitFor(
            [&] { return !rig.takeSent().isEmpty() && (queries << clock.elapsed()).size() == 2; },
            LIMIT_MS));
        QVERIFY2(queries[0] >= 900 && queries[1] - queries[0] >= 900,
                 qPrintable(QString("queries at %1 and %2 ms").arg(queries[0]).arg(queries[1])));
    }
    void decoder_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // in hex
        QTest::addColumn<int>("pause");                // clock ms after each chunk
        QTest::addColumn<QList<QByteArray>>("frames"); // command and payload of each, in hex
        const QByteArray a = "2401001141", inner = QByteArray("2401001142").repeated(13108);
        const auto row = [](const char *tag, QList<QByteArray> chunks, int pause,
                            QList<QByteArray> frames) {
            QTest::newRow(tag) << chunks << pause << frames;
        };
        row("split in three, pauses of 50", {"2401", "0011", "41"}, 50, {"1141"});
        row("pause of 55", {"240100", "1141"}, 55, {});
        row("noise before $", {"00ff1306" + a}, 0, {"1141"});
        row("trailing bytes dropped", {a + "9998", "072401003500"}, 5, {"1141", "3500"});
        row("$ in the payload", {"240300112442", "43"}, 0, {"11244243"});
        row("zero length, then a filler", {"24000022", "7f" + a}, 0, {"22", "1141"});
        // Longer than the record holds: read to its announced end and dropped, the frames inside
        // not taken.
        row("2000 bytes", {"24d00711" + inner.left(4000) + a}, 0,
            {"11" + inner.left(4000), "1141"});
        row("2001 bytes", {"24d10711" + inner.left(4002), a}, 0, {"1141"});
        row("65535 bytes", {"24ffff11" + inner.left(131070), a}, 0, {"1141"});
    }
    void decoder()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(int, pause);
        EngineRig rig;
        const ProtocolFrame &f = rig.engine.m_rx_frame;
        QList<QByteArray> frames;
        for (const QByteArray &chunk : chunks) {
            for (const char c : QByteArray::fromHex(chunk)) {
                if (rig.engine.decode_byte(quint8(c))) {
                    frames << (char(f.command) +
                               QByteArray(reinterpret_cast<const char *>(f.payload), f.length))
                                  .toHex();
                }
            }
            rig.pause(pause);
        }
        QTEST(frames, "frames");
    }
    // The receive clock sleeps once a pause has passed: the same chunks at the same gaps make the
    // same frames as with a clock that never stops.
    void sleepingClock_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // in hex
        QTest::addColumn<QList<int>>("gaps");          // clock ticks after each chunk
        const auto row = [](const char *tag, QList<QByteArray> chunks, QList<int> gaps) {
            QTest::newRow(tag) << chunks << gaps;
        };
        const QByteArray info = "240e0011415f563132333435363738393031", tail = info.mid(6);
        row("frame over 50 ms", {"240e00", tail, info}, {10, 30, 0});
        row("frame over 55 ms", {"240e00", tail, info}, {11, 30, 0});
        row("pause, then a fresh frame", {"2401", "00", info}, {3, 40, 20});
        row("frames after long silences", {info, info, "2401", "0011", "41"}, {500, 12, 1, 9, 0});
    }
    void sleepingClock()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QList<int>, gaps);
        EngineRig sleeping, always;
        sleeping.engine.start_check_version();
        always.engine.start_check_version();
        for (int i = 0; i < chunks.size(); ++i) {
            sleeping.device(QByteArray::fromHex(chunks[i]));
            always.device(QByteArray::fromHex(chunks[i]));
            for (int tick = 0; tick < gaps[i]; ++tick) {
                always.engine.update_sys_time();
                if (sleeping.engine.m_clock_timer->isActive()) { // a sleeping timer does not tick
                    sleeping.engine.update_sys_time();
                }
            }
        }
        QVERIFY(!sleeping.events.isEmpty());
        QCOMPARE(sleeping.events, always.events);
        QVERIFY(sleeping.engine.m_sys_time < always.engine.m_sys_time); // it did sleep
    }
    // Checksums worked out by hand: the sum of the data bytes, carries past 8 bits dropped.
    void blockChecksum_data()
    {
        QTest::addColumn<QByteArray>("data"); // the packet's first bytes; zeros follow
        QTest::addColumn<char>("sum");
        QTest::newRow("0x80 + 0x80 + 0x01 = 0x101") << bytes("808001") << '\x01';
        QTest::newRow("100 times 0x03 = 300 = 0x12c") << QByteArray(100, 3) << '\x2c';
        QTest::newRow("1024 times 0x01 = 0x400") << QByteArray(1024, 1) << '\x00';
        QTest::newRow("0xfe at the end") << QByteArray(1023, 0) + bytes("fe") << '\xfe';
    }
    void blockChecksum()
    {
        QFETCH(QByteArray, data);
        QFETCH(char, sum);
        EngineRig rig;
        const QByteArray packet = data.leftJustified(1024, 0);
        QVERIFY(rig.load(packet));
        rig.enterTransfer();
        rig.device(NAKS);
        QCOMPARE(rig.takeSent(), bytes("0201fe") + packet + sum);
    }
    // Every block once, in order, numbered from 1 (256 as 0), the last padded; the percentage in
    // single precision, truncated; only the ACK after the last block's ends the transmission.
    void progress_data()
    {
        QTest::addColumn<int>("packets");
        QTest::addColumn<Percent>("percent");
        QTest::newRow("3 packets") << 3 << Percent{{1, 33}, {2, 66}, {3, 100}};
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
        const QByteArray sent = rig.takeSent(), all = content.leftJustified(packets * 1024, 0x1a);
        QCOMPARE(sent.size(), packets * dev::BLOCK);
        for (int block = 0; block < packets; ++block) {
            const char n = char(block + 1);
            QCOMPARE(sent.mid(block * dev::BLOCK, 3), QByteArray(1, dev::STX) + n + char(0xff - n));
            QCOMPARE(sent.mid(block * dev::BLOCK + 3, 1024), all.mid(block * 1024, 1024));
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
    // A block goes out on every third NAK counted over the program's life, repeats too.
    void naksCountAcrossRuns()
    {
        EngineRig rig;
        QVERIFY(rig.load(ramp(1024)));
        rig.enterTransfer();
        const auto sentAfter = [&rig](int naks) {
            rig.device(NAK.repeated(naks));
            return rig.takeSent().left(3);
        };
        const QByteArray none, block = bytes("0201fe");
        QCOMPARE(sentAfter(2), none);
        QCOMPARE(sentAfter(1), block);
        QCOMPARE(sentAfter(2), none);
        QCOMPARE(sentAfter(2), block); // the repeat: 6 sends
        rig.device(ACK + ACK + result(0));
        QCOMPARE(rig.events.last(), QString("finished"));
        rig.enterTransfer(); // the count goes on: 8 sends nothing, 9 the block
        QCOMPARE(sentAfter(1), none);
        QCOMPARE(sentAfter(1), block);
    }
    // A NAK storm on a line that stopped draining queues one block, and the block after an ACK
    // one more; a cancel drops them, except inside the channel's error report (the port may be
    // gone there; it is closed right after).
    void stalledLine()
    {
        EngineRig rig, reporting;
        for (EngineRig *r : {&rig, &reporting}) {
            QVERIFY(r->load(ramp(3000)));
            r->enterTransfer();
            r->line.stalled = true;
            r->device(NAK.repeated(3000));
            QCOMPARE(r->line.held.size(), dev::BLOCK);
            QCOMPARE(r->naks, 3000);
        }
        rig.device(ACK + NAKS);
        QCOMPARE(rig.line.held.size(), 2 * dev::BLOCK);
        // Its block had not left when the ACK was read: a blind ACK gets no credit.
        QCOMPARE(rig.engine.packets_acknowledged(), 0);
        rig.engine.stop_upgrade();
        QCOMPARE(rig.line.held.size(), 0);
        QObject::connect(&reporting.channel, &GPI::serial_status_changed,
                         [&reporting] { reporting.engine.stop_upgrade(); });
        reporting.channel.handle_error(QSerialPort::ResourceError);
        QCOMPARE(reporting.line.held.size(), dev::BLOCK);
    }
    // What owners judge a run of a two-block image by, after the device's chunks (a pause after
    // each; a chunk may change the layer midway).
    void outcome_data()
    {
        QTest::addColumn<bool>("check");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<int>("phase");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("acknowledged");
        QTest::addColumn<bool>("eot");
        QTest::addColumn<int>("result"); // -1: none came
        const auto row = [](const char *tag, bool check, QList<QByteArray> chunks,
                            UpgradePhase phase, int sent, int acknowledged, bool eot, int result) {
            QTest::newRow(tag) << check << chunks << int(phase) << sent << acknowledged << eot
                               << result;
        };
        const QByteArray image = NAKS + ACK + ACK + ACK;
        using P = UpgradePhase;
        row("querying", false, {}, P::Querying, 0, 0, false, -1);
        row("check answered", true, {INFO}, P::CheckDone, 0, 0, false, -1);
        row("erasing", false, {INFO}, P::Erasing, 0, 0, false, -1);
        row("transfer, nothing asked", false, {INFO, ERASED}, P::Transfer, 0, 0, false, -1);
        row("first block out", false, {INFO, ERASED + NAKS}, P::Transfer, 1, 0, false, -1);
        // A frame without payload takes the next byte as its filler: here the first NAK.
        row("filler after erase finished", false, {INFO, bytes("24000022") + NAKS}, P::Transfer, 0,
            0, false, -1);
        row("whole image", false, {INFO, ERASED + image}, P::Completion, 2, 2, true, -1);
        row("success", false, {INFO, ERASED + image, result(0)}, P::Idle, 2, 2, true, 0);
        row("failure in the same chunk", false, {INFO, ERASED + image + result(7)}, P::Idle, 2, 2,
            true, 7);
        row("ACK before its block", false, {INFO, ERASED + ACK + NAKS + ACK + ACK, result(0)},
            P::Idle, 1, 1, true, 0);
        row("success before the transfer", false, {INFO, result(0)}, P::Idle, 0, 0, false, 0);
        row("transfer started over", false, {INFO, ERASED + image, ERASED + NAKS}, P::Transfer, 1,
            0, false, -1);
    }
    void outcome()
    {
        QFETCH(bool, check);
        QFETCH(QList<QByteArray>, chunks);
        EngineRig rig;
        QVERIFY(rig.load(ramp(1500)));
        check ? rig.engine.start_check_version() : void(rig.engine.start_upgrade());
        for (const QByteArray &chunk : chunks) {
            rig.device(chunk);
            rig.pause(FRAME_PAUSE_MS + CLOCK_TICK_MS);
        }
        QTEST(int(rig.engine.phase()), "phase");
        QTEST(rig.engine.packets_sent(), "sent");
        QTEST(rig.engine.packets_acknowledged(), "acknowledged");
        QTEST(rig.engine.end_of_transmission_sent(), "eot");
        QTEST(rig.engine.last_result(), "result");
    }
    // A version check cancels at the device's answer (which its dialog ends); a stop then does
    // not cut the cancel frame. An answer without a version keeps the one known.
    void versionCheck_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("version");
        QTest::newRow("with a version") << QByteArray("KT62_V01.02.03.04") << "01.02.03.04";
        QTest::newRow("without") << QByteArray("KT62_V01.02.03.0") << "old";
    }
    void versionCheck()
    {
        QFETCH(QByteArray, answer);
        EngineRig rig;
        QSignalSpy checked(&rig.engine, &Upgrader::checkVersion_finished);
        rig.line.stalled = true; // the bytes stay queued until the end
        rig.engine.m_current_version = "old";
        rig.engine.start_check_version();
        rig.engine.up_query_firmware_info();
        rig.device(frame(dev::INFO, answer));
        QCOMPARE(rig.events,
                 (QStringList{"device", "info:Checking Version...", "info:CheckVersion Finish!"}));
        QCOMPARE(checked.count(), 1);
        rig.engine.stop_upgrade();
        rig.line.drain();
        QCOMPARE(rig.takeSent(), bytes("24000799000023 24000010 2401002100"));
        QTEST(rig.engine.m_current_version, "version");
    }
    // The packet table: the image cut into 1024-byte packets, the last padded with 0x1a; at most
    // 65535 packets. The file's name sets the model and target version.
    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("sparse"); // zero bytes after the content
        QTest::addColumn<int>("packets");   // -1: refused
        QTest::newRow("0 bytes") << QByteArray() << qint64(0) << 0;
        QTest::newRow("1 byte") << ramp(1) << qint64(0) << 1;
        QTest::newRow("1024 bytes") << ramp(1024) << qint64(0) << 1;
        QTest::newRow("1025 bytes") << ramp(1025) << qint64(0) << 2;
        QTest::newRow("65535 packets") << ramp(5) << qint64(65535 * 1024 - 5) << 65535;
        QTest::newRow("65536 packets") << ramp(5) << qint64(65535 * 1024 - 4) << -1;
    }
    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, sparse);
        QFETCH(int, packets);
        EngineRig rig;
        QCOMPARE(rig.load(content, sparse), packets >= 0);
        QCOMPARE(rig.engine.firmware_ready(), packets >= 0);
        QCOMPARE(int(rig.engine.m_packets.size()), qMax(packets, 0));
        if (packets < 0) {
            return;
        }
        QCOMPARE(int(rig.engine.m_packet_count), packets);
        QCOMPARE(packet_count_for(content.size() + sparse), qint64(packets)); // as others count
        QCOMPARE(qint64(rig.engine.m_firmware_size), content.size() + sparse);
        QByteArray all;
        for (const QByteArray &packet : rig.engine.m_packets) {
            all += packet;
        }
        QCOMPARE(all, (content + QByteArray(int(sparse), 0)).leftJustified(packets * 1024, 0x1a));
        QCOMPARE(rig.events, (QStringList{"target", "device"}));
        QCOMPARE(rig.engine.m_device_model + " " + rig.engine.m_target_version,
                 QString("KT62 01.02.03.04"));
        const QString line = QString("\"%1\" firwmare sliced into  %2 packet");
        QVERIFY(rig.log.contains(line.arg(rig.firmware).arg(packets)));
    }
    // Cancel, and every way the table can stop matching the chosen file while the upgrade waits
    // for the device: no erase goes out after them, and whoever hears the refusal finds the run
    // already over.
    void noErase_data()
    {
        QTest::addColumn<int>("spoil");
        QTest::addColumn<QStringList>("events");
        const QStringList refused{"device", "info:Upgrade faild!", "finished"};
        QTest::newRow("cancel while querying") << int(CancelQuerying) << QStringList{"info:"};
        QTest::newRow("cancel during the transfer") << int(CancelTransfer) << QStringList{"info:"};
        QTest::newRow("empty image")
            << int(EmptyImage) << QStringList{"target", "device"} + refused;
        QTest::newRow("other file chosen") << int(OtherFile) << refused;
        QTest::newRow("read fails midway") << int(ReadFails) << refused;
        QTest::newRow("cut short while read") << int(EndsEarly) << refused;
    }
    void noErase()
    {
        QFETCH(int, spoil);
        EngineRig rig;
        QVERIFY(rig.load(QByteArray(5000, 'a')) && rig.engine.start_upgrade());
        rig.events.clear();
        FailingDevice failing;
        ShortFile cut(QByteArray(3000, 'a'), 5000);
        switch (Spoil(spoil)) {
        case CancelTransfer:
            rig.enterTransfer();
            rig.device(NAKS);
            Q_FALLTHROUGH();
        case CancelQuerying:
            rig.engine.stop_upgrade();
            break;
        case EmptyImage:
            rig.load({});
            break;
        case OtherFile:
            rig.firmware += "x";
            break;
        case ReadFails:
            rig.engine.load_firmware_from(failing, rig.firmware);
            break;
        case EndsEarly:
            rig.engine.load_firmware_from(cut, rig.firmware);
            break;
        }
        rig.takeSent();
        QList<UpgradePhase> phases;
        QObject::connect(&rig.engine, &Upgrader::upgrade_info,
                         [&rig, &phases] { phases << rig.engine.phase(); });
        rig.device(INFO + ACK + NAKS);
        QTEST(rig.events, "events");
        QVERIFY(!phases.contains(UpgradePhase::Erasing));
        QCOMPARE(rig.engine.phase(), UpgradePhase::Idle);
        QVERIFY(!rig.engine.start_upgrade());
        rig.engine.up_begin_upgrade();
        QCOMPARE(rig.takeSent(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
