// The protocol engine against a fake line: frames and blocks on the wire, the receive decoder and
// its clock, NAK pacing, progress, a run's outcome, and the loader's packet table.
#include "tests/support/fakedevice.h"
#include "tests/support/logcapture.h"
#include "upgrade/upgrader.h"

#include <QtTest>

namespace {
using dev::frame;
const QByteArray ACK(1, dev::ACK), NAK(1, dev::NAK), NAKS(3, dev::NAK);
const QByteArray INFO = frame(dev::INFO, "KT62_V01.00.00.00");
const QByteArray ERASED = frame(dev::ERASED, QByteArray(1, 0));
constexpr int LIMIT_MS = 10000;

const auto bytes = [](const char *text) { return QByteArray::fromHex(text); };
const auto result = [](char code) { return frame(dev::RESULT, QByteArray(1, code)); };
using Percent = QMap<int, int>; // after so many acknowledged blocks
QByteArray ramp(int size)       // the byte offsets in text: no two packets alike, no zero byte
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
    void pause(quint64 ms)
    {
        for (quint64 at = 0; at < ms; at += CLOCK_TICK_MS) {
            engine.update_sys_time();
        }
    }
    // Chooses and loads a file of this content followed by sparse zero bytes.
    bool load(const QByteArray &content, qint64 sparse = 0)
    {
        QFile file(firmware = dir.filePath("KT62_V01.02.03.04.bin"));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() &&
               file.resize(content.size() + sparse) && engine.load_firmware(); // resize flushes
    }
    // An upgrade of this content up to the transfer, before the first NAK.
    bool enterTransfer(const QByteArray &content)
    {
        const bool started = load(content) && engine.start_upgrade();
        device(INFO + ERASED);
        takeSent();
        events.clear();
        return started;
    }
};

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT
private slots:
    // The start sequence, then the query about the file's version (the name rule) a second later
    // and once a second after; the erase gives the file's size.
    void queryAndErase()
    {
        EngineRig rig;
        QVERIFY(rig.load({}, 0x01020304));
        QElapsedTimer clock;
        clock.start();
        rig.engine.start_check_version();
        QCOMPARE(rig.takeSent(), bytes("24000799000023"));
        const QByteArray query = bytes("240b0010") + "01.02.03.04";
        QByteArray sent;
        QList<qint64> at; // each query's time
        QVERIFY(QTest::qWaitFor(
            [&] {
                return (sent += rig.takeSent()).size() > at.size() * query.size() &&
                       (at << clock.elapsed()).size() == 2;
            },
            LIMIT_MS));
        QVERIFY2(at[0] >= 900 && at[1] - at[0] >= 900, qPrintable(QString::number(at[0])));
        rig.engine.up_begin_upgrade();
        QCOMPARE(sent + rig.takeSent(), query + query + bytes("2404002004030201"));
    }
    void decoder_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks"); // in hex
        QTest::addColumn<int>("pause");                // clock ms after each chunk
        QTest::addColumn<QList<QByteArray>>("frames"); // command and payload of each, in hex
        const QByteArray a = "2401001141", inner = QByteArray("2401001142").repeated(401);
        const auto row = [](const char *tag, QList<QByteArray> chunks, int pause,
                            QList<QByteArray> frames) {
            QTest::newRow(tag) << chunks << pause << frames;
        };
        row("split in three, pauses of 50", {"2401", "0011", "41"}, 50, {"1141"});
        row("pause of 55", {"240100", "1141"}, 55, {});
        row("noise before $", {"00ff1306" + a}, 0, {"1141"});
        row("$ in the payload", {"240300112442", "43"}, 0, {"11244243"});
        // Longer than the record holds: read to its announced end and dropped, the frames inside
        // not taken.
        row("2000 bytes", {"24d00711" + inner.left(4000) + a}, 0,
            {"11" + inner.left(4000), "1141"});
        row("2001 bytes", {"24d10711" + inner.left(4002), a}, 0, {"1141"});
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
        const QByteArray info = "240e0011415f563132333435363738393031", tail = info.mid(6);
        QTest::newRow("frame over 55 ms")
            << QList<QByteArray>{"240e00", tail, info} << QList<int>{11, 30, 0};
        QTest::newRow("pause, then a fresh frame")
            << QList<QByteArray>{"2401", "00", info} << QList<int>{3, 40, 20};
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
    // A block's checksum, worked out by hand: the sum of its 1024 data bytes, carries dropped.
    void blockChecksum_data()
    {
        QTest::addColumn<QByteArray>("data"); // the packet's first bytes; zeros follow
        QTest::addColumn<QByteArray>("sum");
        QTest::newRow("0x80 + 0x80 + 0x01 = 0x101") << bytes("808001") << bytes("01");
        QTest::newRow("100 times 0x03 = 300 = 0x12c") << QByteArray(100, 3) << bytes("2c");
        QTest::newRow("1024 times 0x01 = 0x400") << QByteArray(1024, 1) << bytes("00");
    }
    void blockChecksum()
    {
        QFETCH(QByteArray, data);
        EngineRig rig;
        QVERIFY(rig.enterTransfer(data.leftJustified(1024, 0)));
        rig.device(NAKS);
        QTEST(rig.takeSent().right(1), "sum");
    }
    // Every block once, in order, numbered from 1 (256 as 0), the last padded with 0x1a; the
    // percentage in single precision, truncated; only the ACK after the last block's ends the
    // transmission, and who hears it sees the wait for the result.
    void transfer_data()
    {
        QTest::addColumn<int>("packets");
        QTest::addColumn<Percent>("percent");
        QTest::newRow("3 packets") << 3 << Percent{{1, 33}, {2, 66}, {3, 100}};
        QTest::newRow("100 packets") << 100 << Percent{{53, 52}, {59, 58}, {100, 100}};
        QTest::newRow("257 packets") << 257 << Percent{{256, 99}, {257, 100}};
    }
    void transfer()
    {
        QFETCH(int, packets);
        QFETCH(Percent, percent);
        EngineRig rig;
        const QByteArray content = ramp(packets * 1024 - 100);
        QVERIFY(rig.enterTransfer(content));
        rig.device(NAKS + ACK.repeated(packets));
        for (auto it = percent.cbegin(); it != percent.cend(); ++it) {
            QCOMPARE(rig.events[it.key() - 1], "progress:" + QString::number(it.value()));
        }
        const QByteArray sent = rig.takeSent(), all = content.leftJustified(packets * 1024, 0x1a);
        QCOMPARE(sent.size(), packets * dev::BLOCK);
        for (int block = 0; block < packets; ++block) { // each but its checksum
            const char n = char(block + 1);
            QCOMPARE(sent.mid(block * dev::BLOCK, dev::BLOCK - 1),
                     QByteArray(1, dev::STX) + n + char(0xff - n) + all.mid(block * 1024, 1024));
        }
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
        QVERIFY(rig.enterTransfer(ramp(1024)));
        const auto sends = [&rig](QList<std::pair<int, bool>> naks_block) {
            for (const auto &[naks, block] : naks_block) {
                rig.device(NAK.repeated(naks));
                QCOMPARE(rig.takeSent().left(3), block ? bytes("0201fe") : QByteArray());
            }
        };
        sends({{2, false}, {1, true}, {2, false}, {2, true}}); // the repeat: 6 sends
        rig.device(ACK + ACK + result(0));
        QCOMPARE(rig.events.last(), QString("finished"));
        QVERIFY(rig.enterTransfer(ramp(1024))); // the count goes on: 8 sends nothing, 9 the block
        sends({{1, false}, {1, true}});
    }
    // A NAK storm on a line that stopped draining queues one block, and the block after an ACK
    // one more; a cancel drops them, except inside the channel's error report (the port may be
    // gone there; it is closed right after).
    void stalledLine()
    {
        EngineRig rig, reporting;
        for (EngineRig *r : {&rig, &reporting}) {
            QVERIFY(r->enterTransfer(ramp(3000)));
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
    // each; a chunk may change the layer midway): phase, blocks sent and acknowledged, the end of
    // transmission, the result (-1: none came).
    void outcome_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QList<int>>("outcome");
        const auto row = [](const char *tag, QList<QByteArray> chunks, UpgradePhase phase, int sent,
                            int acknowledged, bool eot, int result) {
            QTest::newRow(tag) << chunks << QList<int>{int(phase), sent, acknowledged, eot, result};
        };
        const QByteArray image = NAKS + ACK + ACK + ACK;
        using P = UpgradePhase;
        row("erasing", {INFO}, P::Erasing, 0, 0, false, -1);
        row("first block out", {INFO, ERASED + NAKS}, P::Transfer, 1, 0, false, -1);
        // A frame without payload takes the next byte as its filler: here the first NAK.
        row("filler after erase finished", {INFO, bytes("24000022") + NAKS}, P::Transfer, 0, 0,
            false, -1);
        row("success", {INFO, ERASED + image, result(0)}, P::Idle, 2, 2, true, 0);
        row("failure in the same chunk", {INFO, ERASED + image + result(7)}, P::Idle, 2, 2, true,
            7);
        row("ACK before its block", {INFO, ERASED + ACK + NAKS + ACK + ACK, result(0)}, P::Idle, 1,
            1, true, 0);
        row("success before the transfer", {INFO, result(0)}, P::Idle, 0, 0, false, 0);
        row("transfer started over", {INFO, ERASED + image, ERASED + NAKS}, P::Transfer, 1, 0,
            false, -1);
    }
    void outcome()
    {
        QFETCH(QList<QByteArray>, chunks);
        EngineRig rig;
        QVERIFY(rig.load(ramp(1500)));
        QVERIFY(rig.engine.start_upgrade());
        for (const QByteArray &chunk : chunks) {
            rig.device(chunk);
            rig.pause(FRAME_PAUSE_MS + CLOCK_TICK_MS);
        }
        const Upgrader &e = rig.engine;
        QTEST((QList<int>{int(e.phase()), e.packets_sent(), e.packets_acknowledged(),
                          e.end_of_transmission_sent(), e.last_result()}),
              "outcome");
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
        QCOMPARE(rig.engine.phase(), UpgradePhase::CheckDone);
        rig.engine.stop_upgrade();
        rig.line.drain();
        QCOMPARE(rig.takeSent(), bytes("24000799000023 24000010 2401002100"));
        QTEST(rig.engine.m_current_version, "version");
    }
    // The packet table: the image cut into 1024-byte packets (their content is transfer's), at
    // most 65535 of them, as the loader's trace tells.
    void load_data()
    {
        QTest::addColumn<qint64>("size"); // 5 bytes, then zeros
        QTest::addColumn<int>("packets"); // -1: refused
        QTest::newRow("0 bytes") << qint64(0) << 0;
        QTest::newRow("1025 bytes") << qint64(1025) << 2;
        QTest::newRow("65535 packets") << qint64(65535 * 1024) << 65535;
        QTest::newRow("65536 packets") << qint64(65535 * 1024 + 1) << -1;
    }
    void load()
    {
        QFETCH(qint64, size);
        QFETCH(int, packets);
        EngineRig rig;
        const QByteArray content = ramp(int(qMin<qint64>(size, 5)));
        QCOMPARE(rig.load(content, size - content.size()), packets >= 0);
        QCOMPARE(rig.engine.firmware_ready(), packets >= 0);
        QCOMPARE(int(rig.engine.m_packets.size()), qMax(packets, 0));
        QCOMPARE(packet_count_for(size), qint64(packets < 0 ? 65536 : packets)); // as others count
        const QString line = QString("\"%1\" firwmare sliced into  %2 packet");
        QCOMPARE(rig.log.contains(line.arg(rig.firmware).arg(packets)), packets >= 0);
    }
    // Cancel, and every way the table can stop matching the chosen file while the upgrade waits
    // for the device: no erase goes out after them, and whoever hears the refusal finds the run
    // already over.
    void noErase_data()
    {
        QTest::addColumn<QStringList>("events");
        const QStringList refused{"device", "info:Upgrade faild!", "finished"};
        QTest::newRow("cancel while querying") << QStringList{"info:"};
        QTest::newRow("cancel during the transfer") << QStringList{"info:"};
        QTest::newRow("empty image") << QStringList{"target", "device"} + refused;
        QTest::newRow("other file chosen") << refused;
        QTest::newRow("read fails midway") << refused;
        QTest::newRow("file cut short while read") << refused;
    }
    void noErase()
    {
        const QByteArray spoil = QTest::currentDataTag();
        EngineRig rig;
        QVERIFY(rig.load(QByteArray(5000, 'a')) && rig.engine.start_upgrade());
        if (spoil == "cancel during the transfer") {
            rig.device(INFO + ERASED + NAKS);
        }
        rig.events.clear();
        if (spoil.startsWith("cancel")) {
            rig.engine.stop_upgrade();
        } else if (spoil == "empty image") {
            rig.load({});
        } else if (spoil == "other file chosen") {
            rig.firmware += "x";
        } else if (spoil == "file cut short while read") {
            ShortFile cut(QByteArray(3000, 'a'), 5000);
            rig.engine.load_firmware_from(cut, rig.firmware);
        } else {
            FailingDevice failing;
            rig.engine.load_firmware_from(failing, rig.firmware);
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
