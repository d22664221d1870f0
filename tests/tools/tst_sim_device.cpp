// The simulated device's side of the protocol, driven byte by byte on a
// made-up clock: what it answers, what it accepts, what it refuses.

#include "firmware_image.h"
#include "protocol.h"
#include "sim_device.h"

#include <QtTest>

namespace {
using namespace std::chrono_literals;

constexpr char PAD = 0x1A; // fills the last block
const QByteArray START = QByteArray::fromHex("24000799000023");
const QByteArray ACK(1, char(XMODEM_ACK));
const QByteArray NAK_BURST(3, char(XMODEM_NAK));
const QByteArray INFO_REPLY = QByteArray::fromHex("241100114b5436325f5630312e30302e30302e3030");

QByteArray frame(quint8 command, const QByteArray &payload)
{
    const char header[] = {char(FRAME_START), char(payload.size() & 0xFF),
                           char(payload.size() >> 8), char(command)};
    return QByteArray(header, FRAME_HEADER_SIZE) + payload;
}

QByteArray block(quint8 number, QByteArray data)
{
    data.append(XMODEM_DATA_SIZE - data.size(), PAD);
    QByteArray wire(XMODEM_BLOCK_SIZE, Qt::Uninitialized);
    build_xmodem_block(number, reinterpret_cast<const quint8 *>(data.constData()), XMODEM_DATA_SIZE,
                       reinterpret_cast<quint8 *>(wire.data()));
    return wire;
}

// An encrypted image of two packets (the second one short).
QByteArray twoPacketImage()
{
    QByteArray plain;
    while (plain.size() < 1500) {
        plain.append(char(plain.size() * 13 + 7));
    }
    return encrypt_image(plain);
}

struct Device
{
    explicit Device(DeviceOptions options = DeviceOptions())
        : model(
              options, [this](const QByteArray &bytes, bool) { sent += bytes; },
              [](const QString &) {}, [] { return 0.5; })
    {
        model.setTransferHook([this](const QByteArray &plain) { saved = plain; });
    }

    QByteArray take() { return std::exchange(sent, QByteArray()); }
    void feed(const QByteArray &b, std::chrono::milliseconds at) { model.receive(b, t0 + at); }
    void tick(std::chrono::milliseconds at) { model.tick(t0 + at); }
    // Start, query, begin and erase of image, up to the opening NAKs at 300 ms;
    // then the first block at 400 ms.
    void openTransfer(const QByteArray &image)
    {
        const quint32 size = quint32(image.size());
        const char begin[] = {char(size), char(size >> 8), char(size >> 16), char(size >> 24)};
        feed(START + frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04") +
                 frame(CMD_BEGIN_UPGRADE, QByteArray(begin, 4)),
             0ms);
        tick(300ms);
        take();
        feed(block(1, image.left(XMODEM_DATA_SIZE)), 400ms);
    }

    SimTime t0 = SimClock::now();
    QByteArray sent, saved;
    DeviceModel model;
};
} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT
private slots:
    void answersQueryThenErases();
    void judgesTransfer_data();
    void judgesTransfer();
    void asksAgainAfterSilence();
};

void TestSimDevice::answersQueryThenErases()
{
    Device device;
    device.feed(START + frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04"), 0ms);
    QCOMPARE(device.take(), INFO_REPLY);
    device.feed(frame(CMD_BEGIN_UPGRADE, QByteArray::fromHex("d0070000")), 10ms);
    device.tick(209ms);
    QCOMPARE(device.take(), QByteArray()); // still erasing
    device.tick(210ms);
    // Erase finished carries a byte: a zero-length frame would need a filler.
    QCOMPARE(device.take(), QByteArray::fromHex("2401002200") + NAK_BURST);
    // A tool starting over mid-transfer, its start sequence split, is followed.
    device.feed(START.left(3), 400ms);
    device.feed(START.mid(3) + frame(CMD_QUERY_FIRMWARE_INFO, ""), 410ms);
    QCOMPARE(device.take(), INFO_REPLY);
}

void TestSimDevice::judgesTransfer_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("offset"); // byte of the second block changed, -1 none
    QTest::addColumn<quint8>("number");
    QTest::addColumn<QByteArray>("reply"); // to the second block
    QTest::addColumn<char>("result");      // after the end of transmission

    QTest::newRow("last block: its ACK and the extra one")
        << "" << -1 << quint8(2) << ACK + ACK << char(0x00);
    QTest::newRow("checksum wrong")
        << "" << XMODEM_BLOCK_SIZE - 1 << quint8(2) << NAK_BURST << char(0x01);
    QTest::newRow("complement wrong") << "" << 2 << quint8(2) << NAK_BURST << char(0x01);
    QTest::newRow("data changed on the way") << "" << 100 << quint8(2) << NAK_BURST << char(0x01);
    QTest::newRow("block number skips ahead") << "" << -1 << quint8(3) << NAK_BURST << char(0x01);
    // Acknowledging a copy would make the tool skip the block it stands for.
    QTest::newRow("copy of the previous block")
        << "" << -1 << quint8(1) << QByteArray() << char(0x01);
    QTest::newRow("checksum header wrong")
        << "header" << -1 << quint8(2) << ACK + ACK << char(0x01);
    QTest::newRow("padding not 0x1A") << "padding" << -1 << quint8(2) << ACK + ACK << char(0x01);
    QTest::newRow("told to fail") << "fail" << -1 << quint8(2) << ACK + ACK << char(0x01);
}

void TestSimDevice::judgesTransfer()
{
    QFETCH(QString, damage);
    QFETCH(int, offset);
    QFETCH(quint8, number);
    QFETCH(QByteArray, reply);
    QFETCH(char, result);
    QByteArray image = twoPacketImage();
    if (damage == "header") {
        image[0] = char(image.at(0) + 1);
    }
    DeviceOptions options;
    options.fail_result = damage == "fail";
    Device device(options);
    device.openTransfer(image);
    QCOMPARE(device.take(), ACK);

    QByteArray data = number == 1 ? image.left(XMODEM_DATA_SIZE) : image.mid(XMODEM_DATA_SIZE);
    if (damage == "padding") {
        data.append(XMODEM_DATA_SIZE - data.size(), char(0xFF));
    }
    QByteArray second = block(number, data);
    if (offset >= 0) {
        second[offset] = char(second.at(offset) ^ 0x40);
    }
    device.feed(second, 500ms);
    QCOMPARE(device.take(), reply);
    device.feed(QByteArray::fromHex("0400"), 600ms);
    QCOMPARE(device.take(), frame(CMD_UPGRADE_RESULT, QByteArray(1, result)));
    QCOMPARE(device.model.imageWhole(),
             reply == ACK + ACK && damage != "header" && damage != "padding");
    if (result == 0x00) {
        QCOMPARE(device.saved, decrypt_body(image.mid(ENCRYPT_HEADER_SIZE)));
    }
}

void TestSimDevice::asksAgainAfterSilence()
{
    const QByteArray image = twoPacketImage();
    Device device;
    device.openTransfer(image);
    QCOMPARE(device.take(), ACK);
    device.tick(1399ms); // a second after the last ACK
    QCOMPARE(device.take(), QByteArray());
    device.tick(1400ms);
    QCOMPARE(device.take(), NAK_BURST);

    // Never while a block is arriving, only once it has stalled.
    const QByteArray second = block(2, image.mid(XMODEM_DATA_SIZE));
    device.feed(second.left(500), 1500ms);
    device.tick(2499ms);
    QCOMPARE(device.take(), QByteArray());
    device.tick(2500ms);
    QCOMPARE(device.take(), NAK_BURST);
    // The stalled half is gone: the block sent whole again is taken.
    device.feed(second, 2600ms);
    QCOMPARE(device.take(), ACK + ACK);
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_sim_device.moc"
