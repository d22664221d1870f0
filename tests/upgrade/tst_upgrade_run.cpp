// Runs of the engine driven chunk by chunk: the device query and version
// check, the transfer with its NAK pacing and progress, the result, cancel.
#include "enginerig.h"

#include <QtTest>

namespace {
const QByteArray ACK(1, dev::ACK);
const QByteArray NAK(1, dev::NAK);

QByteArray image(int packets)
{
    QByteArray bytes(packets * 1024, '\0');
    for (int i = 0; i < bytes.size(); ++i) {
        bytes[i] = char(i * 7 + i / 1024);
    }
    return bytes;
}
} // namespace

class TestUpgradeRun : public QObject
{
    Q_OBJECT
private slots:
    void queryText_data();
    void queryText();
    void firmwareInfo_data();
    void firmwareInfo();
    void versionCheck();
    void progress_data();
    void progress();
    void naksCountAcrossRuns();
    void programWideDefaults();
    void result_data();
    void result();
    void cancel_data();
    void cancel();
};

void TestUpgradeRun::queryText_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    QTest::newRow("no firmware") << ""
                                 << "";
    QTest::newRow("canonical") << "/d/KT62_V01.02.03.04.bin"
                               << "01.02.03.04";
    QTest::newRow("every .bin removed") << "/d/ab.bin.bin"
                                        << "";
    QTest::newRow("15 characters") << "/d/abcdefghijklmno"
                                   << "efghijklmno";
    QTest::newRow("11 characters") << "/d/abcdefghijk.bin"
                                   << "";
    QTest::newRow("12 characters") << "/d/abcdefghijkl.bin"
                                   << "bcdefghijkl";
    QTest::newRow("upper-case .BIN stays") << "/d/KT62_V01.02.03.BIN"
                                           << "1.02.03.BIN";
    QTest::newRow("directory not looked at") << "/x_V01.02.03.04.bin/fw"
                                             << "";
    QTest::newRow("sent as UTF-8") << QString::fromUtf8("/d/KT62_V01.02.03.0\u00e4.bin")
                                   << QString::fromUtf8("01.02.03.0\u00e4");
}

void TestUpgradeRun::queryText()
{
    QFETCH(QString, path);
    QFETCH(QString, text);
    EngineRig rig;
    rig.firmware = path;
    rig.engine.up_query_firmware_info();
    const QByteArray utf8 = text.toUtf8();
    const QByteArray wire = QByteArray::fromHex("24") + char(utf8.size()) + '\0' + '\x10' + utf8;
    QCOMPARE(rig.takeSent(), QString(wire.toHex()));
}

void TestUpgradeRun::firmwareInfo_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("signalled");
    QTest::newRow("good") << QByteArray("a_V12345678901") << "12345678901" << true;
    QTest::newRow("canonical") << QByteArray("KT62_V01.02.03.04") << "01.02.03.04" << true;
    QTest::newRow("more fields") << QByteArray("KT62_V01.02.03.04_x_y") << "01.02.03.04" << true;
    QTest::newRow("too short") << QByteArray("KT62_V1.2.3") << "old" << true;
    QTest::newRow("exactly 11") << QByteArray("KT62_V01.02.03.0") << "old" << true;
    QTest::newRow("first character skipped without _V")
        << QByteArray("KT62_X01.02.03.04") << "01.02.03.04" << true;
    QTest::newRow("no underscore") << QByteArray("KT62V01.02.03.04") << "old" << false;
    QTest::newRow("empty") << QByteArray() << "old" << false;
    QTest::newRow("non-ASCII bytes")
        << QByteArray("\xb0\xe6\x01_V01.02.03.04_\xff\xfe") << "01.02.03.04" << true;
}

void TestUpgradeRun::firmwareInfo()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, version);
    QFETCH(bool, signalled);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", image(1)));
    rig.engine.m_current_version = "old";
    QVERIFY(rig.engine.start_upgrade());
    rig.takeSent();
    rig.events.clear();
    // The trailing byte completes an empty answer and is dropped after others.
    rig.device(EngineRig::frame(dev::INFO, answer) + '\x7f');

    QCOMPARE(rig.engine.m_current_version, version);
    QCOMPARE(rig.events.contains("device"), signalled);
    // Whatever the answer held, the upgrade goes on to the erase.
    QCOMPARE(rig.takeSent(), QString("2404002000040000"));
    QCOMPARE(rig.events.last(), QString("info:Erasing Chip..."));
    QVERIFY(!rig.engine.m_query_timer->isActive());
    QString line;
    QDebug(&line) << "received firmware info:" << QString::fromLocal8Bit(answer);
    line.chop(1); // the stream's trailing separator, which the log drops
    QVERIFY2(rig.log.contains(line), qPrintable(line));
}

void TestUpgradeRun::versionCheck()
{
    EngineRig rig;
    rig.engine.start_check_version();
    QCOMPARE(rig.takeSent(), QString("24000799000023"));
    // The query follows a second later, and every second after that.
    QVERIFY(rig.engine.m_query_timer->isActive());
    QCOMPARE(rig.engine.m_query_timer->interval(), 1000);
    QVERIFY(!rig.engine.m_query_timer->isSingleShot());
    rig.engine.up_query_firmware_info();
    QCOMPARE(rig.takeSent(), QString("24000010"));

    rig.device(EngineRig::frame(dev::INFO, "a_V12345678901"));
    QCOMPARE(rig.takeSent(), QString("2401002100"));
    QCOMPARE(rig.events, (QStringList{"device", "info:Checking Version...",
                                      "info:CheckVersion Finish!", "checked"}));
    QCOMPARE(rig.engine.m_current_version, QString("12345678901"));
    QVERIFY(!rig.engine.m_query_timer->isActive());
    // Marking the check done is left to the caller.
    QVERIFY(rig.engine.m_running);
}

void TestUpgradeRun::progress_data()
{
    QTest::addColumn<int>("packets");
    QTest::addColumn<QList<int>>("after"); // acknowledged blocks
    QTest::addColumn<QList<int>>("percent");
    QTest::newRow("1 packet") << 1 << QList<int>{1} << QList<int>{100};
    QTest::newRow("3 packets") << 3 << QList<int>{1, 2, 3} << QList<int>{33, 66, 100};
    // Single precision: 53/100 and 59/100 fall just short.
    QTest::newRow("100 packets") << 100 << QList<int>{1, 50, 53, 59, 99, 100}
                                 << QList<int>{1, 50, 52, 58, 99, 100};
}

void TestUpgradeRun::progress()
{
    QFETCH(int, packets);
    QFETCH(QList<int>, after);
    QFETCH(QList<int>, percent);
    EngineRig rig;
    const QByteArray content = image(packets).left(packets * 1024 - 100);
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", content));
    rig.enterTransfer();

    rig.device(NAK + NAK + NAK);
    QList<int> seen;
    QByteArray sent = QByteArray::fromHex(rig.takeSent().toLatin1());
    for (int block = 1; block <= packets; ++block) {
        rig.device(ACK);
        seen << rig.events.last().section(':', 1).toInt();
        sent += QByteArray::fromHex(rig.takeSent().toLatin1());
    }
    for (int i = 0; i < after.size(); ++i) {
        QCOMPARE(seen[after[i] - 1], percent[i]);
    }
    // Every packet went out once, in order, numbered from 1, the last padded.
    QCOMPARE(sent.size(), packets * 1028);
    for (int block = 0; block < packets; ++block) {
        QCOMPARE(quint8(sent[block * 1028 + 1]), quint8(block + 1));
        QCOMPARE(sent.mid(block * 1028 + 3, 1024),
                 (content + QByteArray(100, '\x1a')).mid(block * 1024, 1024));
    }
    const QString exceeded = QString("packet id exceed max count, id:%1 count:%1").arg(packets);
    QVERIFY(rig.log.contains(exceeded));

    // Only the next ACK ends the transmission.
    rig.device(ACK);
    QCOMPARE(rig.takeSent(), QString("0400"));
    QCOMPARE(rig.events.last(), QString("info:Waitting for completion..."));
    QVERIFY(!rig.engine.m_xmodem_mode);
}

void TestUpgradeRun::naksCountAcrossRuns()
{
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", image(1)));
    rig.enterTransfer();
    const QString block = "0201fe";
    rig.device(NAK + NAK);
    QCOMPARE(rig.takeSent(), QString());
    rig.device(NAK);
    QVERIFY(rig.takeSent().startsWith(block));
    // A repeat is asked for with NAKs too: again only every third one.
    rig.device(NAK + NAK);
    QCOMPARE(rig.takeSent(), QString());
    rig.device(NAK + NAK);
    QVERIFY(rig.takeSent().startsWith(block));
    QCOMPARE(rig.naks, 7);
    rig.device(ACK + ACK + EngineRig::frame(dev::RESULT, QByteArray(1, '\0')));
    QCOMPARE(rig.events.last(), QString("finished"));

    // The count goes on in the next run: 8 sends nothing, 9 sends the block.
    rig.enterTransfer();
    rig.device(NAK);
    QCOMPARE(rig.takeSent(), QString());
    rig.device(NAK);
    QVERIFY(rig.takeSent().startsWith(block));
}

void TestUpgradeRun::programWideDefaults()
{
    LogCapture log;
    Upgrader engine;
    engine.m_clock_timer->stop();
    g_firmware_file = "/d/KT62_V01.02.03.04.bin";
    g_nak_count = 41;
    engine.m_running = true;
    g_gpi.decode_protocol(EngineRig::frame(dev::ERASED, QByteArray(1, '\0')) + NAK);
    QCOMPARE(g_nak_count, 42);
    // No table: the third NAK finds no packet to send.
    QVERIFY(log.contains("packet id exceed max count, id:0 count:0"));
    engine.stop_upgrade();
    QCOMPARE(g_firmware_file, QString());
}

void TestUpgradeRun::result_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("text");
    QTest::newRow("success") << EngineRig::frame(dev::RESULT, QByteArray(1, '\0'))
                             << "Upgrade finished!";
    QTest::newRow("failure 01") << EngineRig::frame(dev::RESULT, "\x01") << "Upgrade faild!";
    QTest::newRow("failure ff") << EngineRig::frame(dev::RESULT, QByteArray("\xff\x00", 2))
                                << "Upgrade faild!";
    // The filler is not stored; the cleared payload reads as success.
    QTest::newRow("zero length and a filler")
        << EngineRig::frame(dev::RESULT, QByteArray()) + '\x01' << "Upgrade finished!";
}

void TestUpgradeRun::result()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, text);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", image(1)));
    rig.enterTransfer();
    rig.device(NAK + NAK + NAK + ACK + ACK);
    rig.events.clear();
    rig.device(frame);
    QCOMPARE(rig.events, (QStringList{"info:" + text, "finished"}));
    QVERIFY(!rig.engine.m_running);
    // The run is over: a later erase report is dropped.
    rig.device(EngineRig::frame(dev::ERASED, QByteArray(1, '\0')) + NAK + NAK + NAK);
    QCOMPARE(rig.events.size(), 2);
    QCOMPARE(rig.naks, 3);
}

void TestUpgradeRun::cancel_data()
{
    QTest::addColumn<bool>("in_transfer");
    QTest::newRow("while querying") << false;
    QTest::newRow("during the transfer") << true;
}

void TestUpgradeRun::cancel()
{
    QFETCH(bool, in_transfer);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", image(3)));
    if (in_transfer) {
        rig.enterTransfer();
        rig.device(NAK + NAK + NAK);
    } else {
        QVERIFY(rig.engine.start_upgrade());
    }
    rig.takeSent();
    rig.events.clear();

    rig.engine.stop_upgrade();
    QCOMPARE(rig.events, QStringList{"info:"});
    QVERIFY(!rig.engine.m_query_timer->isActive());
    QCOMPARE(rig.firmware, QString());
    // Nothing goes to the device, neither now nor on its later bytes.
    rig.device(EngineRig::frame(dev::INFO, "KT62_V01.02.03.04") + ACK + NAK + NAK + NAK);
    QCOMPARE(rig.takeSent(), QString());
    QCOMPARE(rig.events.size(), 1);
}

QTEST_GUILESS_MAIN(TestUpgradeRun)
#include "tst_upgrade_run.moc"
