// The simulated device's side of the protocol, driven byte by byte on a
// made-up clock: what it answers, what it accepts, what it refuses.

#include "firmware_image.h"
#include "protocol.h"
#include "sim_device.h"

#include <QtTest>

namespace {
using namespace std::chrono_literals;

const QByteArray START = QByteArray::fromHex("24000799000023");
const QByteArray ACK(1, char(XMODEM_ACK));
const QByteArray NAK_BURST(3, char(XMODEM_NAK));

QByteArray frame(quint8 command, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(char(FRAME_START));
    bytes.append(char(payload.size() & 0xFF));
    bytes.append(char(payload.size() >> 8));
    bytes.append(char(command));
    return bytes + payload;
}

QByteArray beginFrame(quint32 size)
{
    QByteArray payload;
    for (int i = 0; i < 4; ++i) {
        payload.append(char((size >> (8 * i)) & 0xFF));
    }
    return frame(CMD_BEGIN_UPGRADE, payload);
}

QByteArray block(quint8 number, const QByteArray &data)
{
    QByteArray padded = data;
    padded.append(XMODEM_DATA_SIZE - data.size(), char(0x1A));
    quint8 wire[XMODEM_BLOCK_SIZE];
    build_xmodem_block(number, reinterpret_cast<const quint8 *>(padded.constData()),
                       XMODEM_DATA_SIZE, wire);
    return QByteArray(reinterpret_cast<const char *>(wire), XMODEM_BLOCK_SIZE);
}

// An encrypted image of two packets (the second one short).
QByteArray twoPacketImage()
{
    QByteArray plain(1500, Qt::Uninitialized);
    for (int i = 0; i < plain.size(); ++i) {
        plain[i] = char(i * 13 + 7);
    }
    return encrypt_image(plain);
}

struct Device
{
    explicit Device(DeviceOptions options = DeviceOptions())
        : model(
              options, [this](const QByteArray &bytes, bool) { sent += bytes; },
              [this](const QString &line) { log << line; }, [this] { return random; })
    {
        model.setTransferHook([this](const QByteArray &plain) { saved = plain; });
    }

    QByteArray take()
    {
        const QByteArray out = sent;
        sent.clear();
        return out;
    }
    void feed(const QByteArray &bytes, std::chrono::milliseconds at)
    {
        model.receive(bytes, t0 + at);
    }
    // Start, query, begin and erase, up to the opening NAKs.
    void openTransfer(quint32 size)
    {
        feed(START + frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04") + beginFrame(size), 0ms);
        model.tick(t0 + 300ms);
        take();
    }

    SimTime t0 = SimClock::now();
    QByteArray sent;
    QStringList log;
    QByteArray saved;
    double random = 0.5;
    DeviceModel model;
};
} // namespace

class TestSimDevice : public QObject
{
    Q_OBJECT
private slots:
    void answersQueryThenErases();
    void judgesBlocks_data();
    void judgesBlocks();
    void reportsResult_data();
    void reportsResult();
    void asksAgainAfterSilence();
    void followsToolStartingOver();
    void goesSilentOrUnplugged();
};

void TestSimDevice::answersQueryThenErases()
{
    Device device;
    device.feed(START + frame(CMD_QUERY_FIRMWARE_INFO, "01.02.03.04"), 0ms);
    QCOMPARE(device.take(), frame(CMD_FIRMWARE_INFO, "KT62_V01.00.00.00"));
    QVERIFY(device.model.sawStartSequence());

    device.feed(beginFrame(2000), 10ms);
    device.model.tick(device.t0 + 209ms);
    QCOMPARE(device.take(), QByteArray()); // still erasing
    QVERIFY(device.model.nextDeadline().has_value());
    device.model.tick(device.t0 + 210ms);
    // Erase finished carries a byte: a zero-length frame would need a filler.
    QCOMPARE(device.take(), QByteArray::fromHex("2401002200") + NAK_BURST);
}

void TestSimDevice::judgesBlocks_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray image = twoPacketImage();
    const QByteArray good = block(2, image.mid(XMODEM_DATA_SIZE));

    QByteArray bad_sum = good;
    bad_sum[XMODEM_BLOCK_SIZE - 1] = char(bad_sum.at(XMODEM_BLOCK_SIZE - 1) + 1);
    QByteArray bad_complement = good;
    bad_complement[2] = char(0x00);
    QByteArray bad_data = good;
    bad_data[100] = char(bad_data.at(100) ^ 0x40);

    QTest::newRow("last block: its ACK and the extra one") << good << ACK + ACK;
    QTest::newRow("checksum wrong") << bad_sum << NAK_BURST;
    QTest::newRow("complement wrong") << bad_complement << NAK_BURST;
    QTest::newRow("data changed on the way") << bad_data << NAK_BURST;
    QTest::newRow("block number skips ahead") << block(3, image.mid(XMODEM_DATA_SIZE)) << NAK_BURST;
    // Acknowledging a copy would make the tool skip the block it stands for.
    QTest::newRow("copy of the previous block")
        << block(1, image.left(XMODEM_DATA_SIZE)) << QByteArray();
}

void TestSimDevice::judgesBlocks()
{
    QFETCH(QByteArray, second);
    QFETCH(QByteArray, reply);
    const QByteArray image = twoPacketImage();
    Device device;
    device.openTransfer(quint32(image.size()));

    device.feed(block(1, image.left(XMODEM_DATA_SIZE)), 400ms);
    QCOMPARE(device.take(), ACK);
    device.feed(second, 500ms);
    QCOMPARE(device.take(), reply);
}

void TestSimDevice::reportsResult_data()
{
    QTest::addColumn<int>("damage");
    QTest::addColumn<bool>("fail_option");
    QTest::addColumn<char>("result");
    enum
    {
        NONE,
        HEADER,
        PADDING,
        EARLY_END
    };
    QTest::newRow("whole image") << int(NONE) << false << char(0x00);
    QTest::newRow("checksum header wrong") << int(HEADER) << false << char(0x01);
    QTest::newRow("padding not 0x1A") << int(PADDING) << false << char(0x01);
    QTest::newRow("end before the last block") << int(EARLY_END) << false << char(0x01);
    QTest::newRow("told to fail") << int(NONE) << true << char(0x01);
}

void TestSimDevice::reportsResult()
{
    QFETCH(int, damage);
    QFETCH(bool, fail_option);
    QFETCH(char, result);
    enum
    {
        NONE,
        HEADER,
        PADDING,
        EARLY_END
    };
    QByteArray image = twoPacketImage();
    const QByteArray plain = decrypt_body(image.mid(ENCRYPT_HEADER_SIZE));
    if (damage == HEADER) {
        image[0] = char(image.at(0) + 1);
    }
    DeviceOptions options;
    options.fail_result = fail_option;
    Device device(options);
    device.openTransfer(quint32(image.size()));

    device.feed(block(1, image.left(XMODEM_DATA_SIZE)), 400ms);
    if (damage != EARLY_END) {
        QByteArray last = image.mid(XMODEM_DATA_SIZE);
        if (damage == PADDING) {
            last.append(XMODEM_DATA_SIZE - last.size(), char(0xFF));
        }
        device.feed(block(2, last), 500ms);
    }
    device.take();
    device.feed(QByteArray::fromHex("0400"), 600ms);
    QCOMPARE(device.take(), frame(CMD_UPGRADE_RESULT, QByteArray(1, result)));
    QCOMPARE(device.model.imageWhole(), damage == NONE);
    if (damage == NONE) {
        QCOMPARE(device.saved, plain);
    }
}

void TestSimDevice::asksAgainAfterSilence()
{
    const QByteArray image = twoPacketImage();
    Device device;
    device.openTransfer(quint32(image.size()));
    // Measured from the opening NAKs at 300 ms.
    device.model.tick(device.t0 + 1299ms);
    QCOMPARE(device.take(), QByteArray());
    device.model.tick(device.t0 + 1300ms);
    QCOMPARE(device.take(), NAK_BURST);

    // Never while a block is arriving, only once it has stalled.
    const QByteArray first = block(1, image.left(XMODEM_DATA_SIZE));
    device.feed(first.left(500), 1500ms);
    device.model.tick(device.t0 + 2499ms);
    QCOMPARE(device.take(), QByteArray());
    device.model.tick(device.t0 + 2500ms);
    QCOMPARE(device.take(), NAK_BURST);
    // The stalled half is gone: the block sent whole again is taken.
    device.feed(first, 2600ms);
    QCOMPARE(device.take(), ACK);
}

void TestSimDevice::followsToolStartingOver()
{
    const QByteArray image = twoPacketImage();
    Device device;
    device.openTransfer(quint32(image.size()));
    device.feed(START.left(3), 400ms);
    device.feed(START.mid(3) + frame(CMD_QUERY_FIRMWARE_INFO, ""), 410ms);
    QCOMPARE(device.take(), frame(CMD_FIRMWARE_INFO, "KT62_V01.00.00.00"));
}

void TestSimDevice::goesSilentOrUnplugged()
{
    const QByteArray image = twoPacketImage();
    DeviceOptions silent;
    silent.silent_after = 1;
    Device quiet(silent);
    quiet.openTransfer(quint32(image.size()));
    quiet.feed(block(1, image.left(XMODEM_DATA_SIZE)), 400ms);
    QCOMPARE(quiet.take(), ACK);
    quiet.feed(block(2, image.mid(XMODEM_DATA_SIZE)), 500ms);
    quiet.model.tick(quiet.t0 + 5000ms);
    QCOMPARE(quiet.take(), QByteArray());
    QCOMPARE(quiet.model.ending(), DeviceModel::Ending::None);

    DeviceOptions unplug;
    unplug.exit_after = 1;
    Device gone(unplug);
    gone.openTransfer(quint32(image.size()));
    gone.feed(block(1, image.left(XMODEM_DATA_SIZE)), 400ms);
    QCOMPARE(gone.model.ending(), DeviceModel::Ending::Unplugged);
}

QTEST_GUILESS_MAIN(TestSimDevice)
#include "tst_sim_device.moc"
