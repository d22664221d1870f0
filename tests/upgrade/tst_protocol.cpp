// The wire format: the begin-upgrade frame and the blocks byte for byte (the
// other frames are checked within the runs), and the receive side: decoder
// with its pause resync, routing between the layers.
#include "enginerig.h"

#include <QtTest>

using Chunks = QList<QByteArray>;

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// payload_pattern repeated, cut to size: a payload full of complete frames.
QByteArray filled(const QByteArray &pattern, int size)
{
    QByteArray out;
    while (out.size() < size) {
        out += pattern;
    }
    return out.left(size);
}
} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void beginUpgradeFrame_data();
    void beginUpgradeFrame();
    void xmodemBlock_data();
    void xmodemBlock();
    void decoder_data();
    void decoder();
    void router_data();
    void router();
};

void TestProtocol::beginUpgradeFrame_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("wire");
    QTest::newRow("8 bytes") << qint64(8) << "2404002008000000";
    QTest::newRow("0x01020304 bytes") << qint64(0x01020304) << "2404002004030201";
}

void TestProtocol::beginUpgradeFrame()
{
    QFETCH(qint64, size);
    QFETCH(QString, wire);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray()));
    // A sparse file of the wanted size: the frame carries the file's size.
    QVERIFY(QFile::resize(rig.firmware, size));
    QVERIFY(rig.engine.load_firmware());
    rig.takeSent();
    rig.engine.up_begin_upgrade();
    QCOMPARE(rig.takeSent(), wire);
}

void TestProtocol::xmodemBlock_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("sum");

    QTest::newRow("block 1, all 0xFF") << 1 << QByteArray(1024, '\xff') << "0201fe"
                                       << "00";
    QTest::newRow("number 0 after 255") << 0 << QByteArray(1024, '\xff') << "0200ff"
                                        << "00";
    QTest::newRow("number 255") << 255 << QByteArray(1024, '\x01') << "02ff00"
                                << "00";
    QByteArray abcd = hex("8a01000061626364") + QByteArray(1016, '\x1a');
    QTest::newRow("abcd image") << 7 << abcd << "0207f8"
                                << "45";
    // Fewer data bytes leave the rest of the block zero.
    QTest::newRow("short data") << 1 << hex("0102") << "0201fe"
                                << "03";
}

void TestProtocol::xmodemBlock()
{
    QFETCH(int, number);
    QFETCH(QByteArray, data);
    QFETCH(QString, head);
    QFETCH(QString, sum);
    EngineRig rig;
    rig.engine.m_packet_number = quint8(number);
    rig.engine.send_packet(reinterpret_cast<const quint8 *>(data.constData()), data.size());
    const QString sent = rig.takeSent();
    QCOMPARE(sent.size(), 2 * 1028);
    QCOMPARE(sent.left(6), head);
    const QByteArray body = data + QByteArray(1024 - data.size(), '\0');
    QCOMPARE(sent.mid(6, 2048), QString(body.toHex()));
    QCOMPARE(sent.right(2), sum);
    QVERIFY(rig.log.contains("sending firmware packet id:0"));
}

void TestProtocol::decoder_data()
{
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<int>("pause"); // clock ms between chunks
    QTest::addColumn<QStringList>("frames");

    const QByteArray a = hex("2401001141");
    QTest::newRow("one frame") << Chunks{a} << 0 << QStringList{"11:41"};
    QTest::newRow("split in three")
        << Chunks{hex("2401"), hex("0011"), hex("41")} << 50 << QStringList{"11:41"};
    QTest::newRow("noise before $") << Chunks{hex("00ff1306") + a} << 0 << QStringList{"11:41"};
    QTest::newRow("trailing bytes dropped")
        << Chunks{a + hex("9998"), hex("07") + hex("2401003500")} << 5
        << QStringList{"11:41", "35:00"};
    QTest::newRow("$ in payload") << Chunks{hex("240300112442"), hex("43")} << 0
                                  << QStringList{"11:244243"};
    QTest::newRow("zero length waits for filler") << Chunks{hex("24000022")} << 0 << QStringList{};
    QTest::newRow("zero length plus filler")
        << Chunks{hex("24000022"), hex("7f") + a} << 0 << QStringList{"22:", "11:41"};
    QTest::newRow("pause of 50 keeps the frame")
        << Chunks{hex("240100"), hex("1141")} << 50 << QStringList{"11:41"};
    QTest::newRow("pause of 55 drops it")
        << Chunks{hex("240100"), hex("1141")} << 55 << QStringList{};
    QTest::newRow("$ after a pause starts anew")
        << Chunks{hex("240500"), a} << 55 << QStringList{"11:41"};
    QTest::newRow("same bytes without the pause") << Chunks{hex("240500"), a} << 0 << QStringList{};

    // Announced lengths beyond the record: read to their end, then dropped;
    // the complete frames hidden in their payload are not taken.
    const QByteArray inner = hex("2401001142");
    QTest::newRow("2000 bytes kept") << Chunks{hex("24d00711") + filled(inner, 2000) + a} << 0
                                     << QStringList{"11:" + filled(inner, 2000).toHex(), "11:41"};
    QTest::newRow("2001 bytes dropped")
        << Chunks{hex("24d10711") + filled(inner, 2001), a} << 0 << QStringList{"11:41"};
    QTest::newRow("65535 bytes dropped")
        << Chunks{hex("24ffff11") + filled(inner, 65535), a} << 0 << QStringList{"11:41"};
}

void TestProtocol::decoder()
{
    QFETCH(Chunks, chunks);
    QFETCH(int, pause);
    QFETCH(QStringList, frames);
    EngineRig rig;
    QTimer *const query_timer = rig.engine.m_query_timer;
    rig.engine.m_current_version = "untouched";
    QStringList got;
    for (int i = 0; i < chunks.size(); ++i) {
        if (i > 0) {
            rig.tick(pause);
        }
        for (const char c : std::as_const(chunks[i])) {
            if (rig.engine.decode_byte(quint8(c))) {
                const ProtocolFrame &f = rig.engine.m_rx_frame;
                const QByteArray payload(reinterpret_cast<const char *>(f.payload), f.length);
                got << QString::number(f.command, 16) + ":" + payload.toHex();
            }
        }
    }
    QCOMPARE(got, frames);
    // Nothing was written past the receive record into the members after it.
    QCOMPARE(rig.engine.m_query_timer, query_timer);
    QCOMPARE(rig.engine.m_current_version, QString("untouched"));
}

void TestProtocol::router_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<Chunks>("chunks");
    QTest::addColumn<int>("naks");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<QStringList>("events");

    const QString erased = "info:Erase finished, begin upgrade...";
    const QByteArray erase = hex("2401002200");
    QTest::newRow("idle: chunk dropped")
        << false << Chunks{erase + hex("151515")} << 0 << 0 << QStringList{};
    QTest::newRow("layer switch inside a chunk")
        << true << Chunks{hex("240100220015")} << 1 << 0 << QStringList{erased};
    QTest::newRow("zero-length frame takes the first NAK as filler")
        << true << Chunks{hex("240000221515")} << 1 << 0 << QStringList{erased};
    QTest::newRow("third NAK in the same chunk sends the block")
        << true << Chunks{erase + hex("151515")} << 3 << 1 << QStringList{erased};
    QTest::newRow("with the filler only two NAKs count")
        << true << Chunks{hex("24000022151515")} << 2 << 0 << QStringList{erased};
    QTest::newRow("a frame in the transfer layer is only reply bytes")
        << true << Chunks{erase, hex("2401003515")} << 1 << 0 << QStringList{erased};
    QTest::newRow("end of transfer and result in one chunk")
        << true << Chunks{erase + hex("151515"), hex("06062401003501")} << 3 << 1
        << QStringList{erased, "progress:100", "info:Waitting for completion...",
                       "info:Upgrade faild!", "finished"};
    QTest::newRow("rest of the ending chunk is still acted on")
        << true << Chunks{erase + hex("151515"), hex("0606240100350024010022001515")} << 5 << 1
        << QStringList{erased,
                       "progress:100",
                       "info:Waitting for completion...",
                       "info:Upgrade finished!",
                       "finished",
                       erased};
    QTest::newRow("chunks after the result are dropped")
        << true << Chunks{erase + hex("151515"), hex("06062401003500"), erase + hex("151515")} << 3
        << 1
        << QStringList{erased, "progress:100", "info:Waitting for completion...",
                       "info:Upgrade finished!", "finished"};
}

void TestProtocol::router()
{
    QFETCH(bool, running);
    QFETCH(Chunks, chunks);
    QFETCH(int, naks);
    QFETCH(int, blocks);
    QFETCH(QStringList, events);
    EngineRig rig;
    rig.engine.m_packets = {QByteArray(1024, '\x5a')};
    rig.engine.m_packet_count = 1;
    rig.engine.m_running = running;
    for (const QByteArray &chunk : std::as_const(chunks)) {
        rig.device(chunk);
    }
    QCOMPARE(rig.naks, naks);
    QCOMPARE(int(rig.engine.m_blocks_sent), blocks);
    QCOMPARE(rig.events, events);
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
