// The simulated device's side of the protocol, driven byte by byte on a made-up clock:
// what it answers, what it accepts, what it refuses.
#include "firmware/firmware_image.h"
#include "tools/sim/sim_device.h"
#include "upgrade/protocol.h"

#include <QtTest>

namespace {
using namespace std::chrono_literals;
constexpr char PAD = 0x1A; // fills the last block
const QByteArray START = QByteArray::fromHex("24000799000023");
const QByteArray ACK(1, char(XMODEM_ACK));
const QByteArray NAK_BURST(3, char(XMODEM_NAK));
const QByteArray INFO_REPLY = QByteArray::fromHex("241100114b5436325f5630312e30302e30302e3030");
// Two packets, the second short; no block's data repeats the other's.
const QByteArray IMAGE =
    encrypt_image(QByteArray("a quick brown fox jumps over the dog. ").repeated(40));

QByteArray block(quint8 number, QByteArray data, char pad = PAD)
{
    data.append(XMODEM_DATA_SIZE - data.size(), pad);
    QByteArray wire(XMODEM_BLOCK_SIZE, Qt::Uninitialized);
    build_xmodem_block(number, reinterpret_cast<const quint8 *>(data.constData()), XMODEM_DATA_SIZE,
                       reinterpret_cast<quint8 *>(wire.data()));
    return wire;
}

struct Device
{
    // What the device sends when bytes arrive at `at`, or, with none, by then.
    QByteArray at(std::chrono::milliseconds at, const QByteArray &bytes = QByteArray())
    {
        bytes.isEmpty() ? model.tick(t0 + at) : model.receive(bytes, t0 + at);
        return std::exchange(sent, QByteArray());
    }
    // Start, query, begin and erase of the image up to the opening NAKs at 300 ms, then the
    // first block at 400 ms, acknowledged.
    void openTransfer(const QByteArray &image)
    {
        const quint32 size = quint32(image.size());
        const char begin[] = {char(size), char(size >> 8), char(size >> 16), char(size >> 24)};
        at(0ms, START + build_frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04") +
                    build_frame(CMD_BEGIN_UPGRADE, QByteArray(begin, 4)));
        at(300ms);
        QCOMPARE(at(400ms, block(1, image.left(XMODEM_DATA_SIZE))), ACK);
    }
    SimTime t0 = SimClock::now();
    QByteArray sent;
    SimDevice model{DeviceOptions(), [this](const QByteArray &bytes, bool) { sent += bytes; },
                    [](const QString &) {}, [] { return 0.5; }};
};
} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT
private slots:
    void answersQueryThenErases()
    {
        Device device;
        QCOMPARE(device.at(0ms, START + build_frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04")),
                 INFO_REPLY);
        device.at(10ms, build_frame(CMD_BEGIN_UPGRADE, QByteArray::fromHex("d0070000")));
        QCOMPARE(device.at(209ms), QByteArray()); // still erasing
        // Erase finished carries a byte: a zero-length frame would need a filler.
        QCOMPARE(device.at(210ms), QByteArray::fromHex("2401002200") + NAK_BURST);
        // A tool starting over mid-transfer, its start sequence split, is followed.
        device.at(400ms, START.left(3));
        QCOMPARE(device.at(410ms, START.mid(3) + build_frame(CMD_QUERY_FIRMWARE_INFO, "")),
                 INFO_REPLY);
    }

    void judgesTransfer_data()
    {
        QTest::addColumn<QString>("damage");   // to the image or its padding
        QTest::addColumn<int>("offset");       // byte of the second block flipped, -1 none
        QTest::addColumn<quint8>("number");    // of the second block
        QTest::addColumn<QByteArray>("reply"); // to the second block
        QTest::newRow("last block, ACKed twice") << "" << -1 << quint8(2) << ACK + ACK;
        QTest::newRow("checksum wrong") << "" << XMODEM_BLOCK_SIZE - 1 << quint8(2) << NAK_BURST;
        QTest::newRow("complement wrong") << "" << 2 << quint8(2) << NAK_BURST;
        QTest::newRow("block number skips ahead") << "" << -1 << quint8(3) << NAK_BURST;
        // Acknowledging a copy would make the tool skip the block it stands for.
        QTest::newRow("copy of the previous block") << "" << -1 << quint8(1) << QByteArray();
        QTest::newRow("checksum header wrong") << "header" << -1 << quint8(2) << ACK + ACK;
        QTest::newRow("padding not 0x1A") << "padding" << -1 << quint8(2) << ACK + ACK;
    }

    void judgesTransfer()
    {
        QFETCH(QString, damage);
        QFETCH(int, offset);
        QFETCH(quint8, number);
        QFETCH(QByteArray, reply);
        QByteArray image = IMAGE;
        image[0] = char(image.at(0) + (damage == "header"));
        Device device;
        device.openTransfer(image);
        const QByteArray data = image.mid(number == 1 ? 0 : XMODEM_DATA_SIZE, XMODEM_DATA_SIZE);
        QByteArray second = block(number, data, damage == "padding" ? char(0xFF) : PAD);
        if (offset >= 0) {
            second[offset] = char(second.at(offset) ^ 0x40);
        }
        QCOMPARE(device.at(500ms, second), reply);
        // Only an image that arrived whole and sound earns the success byte.
        const bool whole = reply == ACK + ACK && damage.isEmpty();
        QCOMPARE(device.at(600ms, QByteArray::fromHex("0400")),
                 build_frame(CMD_UPGRADE_RESULT, QByteArray(1, char(whole ? 0x00 : 0x01))));
    }

    void asksAgainAfterSilence()
    {
        Device device;
        device.openTransfer(IMAGE);
        QCOMPARE(device.at(1399ms), QByteArray()); // a second after the last ACK
        QCOMPARE(device.at(1400ms), NAK_BURST);
        // Never while a block is arriving, only once it has stalled.
        const QByteArray second = block(2, IMAGE.mid(XMODEM_DATA_SIZE));
        device.at(1500ms, second.left(500));
        QCOMPARE(device.at(2499ms), QByteArray());
        QCOMPARE(device.at(2500ms), NAK_BURST);
        // The stalled half is gone: the block sent whole again is taken.
        QCOMPARE(device.at(2600ms, second), ACK + ACK);
    }
};

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_sim_device.moc"
