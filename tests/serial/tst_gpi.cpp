#include "gpi.h"
#include "logcapture.h"
#include "testpty.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

class TestGpi : public QObject
{
    Q_OBJECT
private slots:
    void opensAtLineSettings();
    void openingMissingPortFails();
    void bytesWrittenArriveAtFarEnd();
    void chunksArriveSeparately();
    void closeAnnouncesFalse();
    void closeWhenClosedStillAnnounces();
    void errorReportClosesAfterAnnouncing();
    void unpluggedPortIsReportedLost();
    void destroyedChannelReleasesPort();
    void sendingWhileClosedTraces_data();
    void sendingWhileClosedTraces();
};

namespace {
bool lastReport(const QSignalSpy &spy)
{
    return spy.last().at(0).toBool();
}
} // namespace

void TestGpi::opensAtLineSettings()
{
    Pty pty;
    QVERIFY(pty.isValid());
    GPI gpi;
    QSignalSpy status(&gpi, &GPI::serial_status_changed);
    gpi.openSerialPort(pty.slavePath());
    QVERIFY(!status.isEmpty());
    QCOMPARE(lastReport(status), true);
    QVERIFY(gpi.isOpen());

    // Read the line settings back from the terminal device itself.
    const int fd = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios tio{};
    QCOMPARE(tcgetattr(fd, &tio), 0);
    ::close(fd);
    QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
    QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void TestGpi::openingMissingPortFails()
{
    LogCapture log;
    GPI gpi;
    QSignalSpy status(&gpi, &GPI::serial_status_changed);
    gpi.openSerialPort(QStringLiteral("/dev/kt62-no-such-port"));
    QVERIFY(!status.isEmpty());
    QCOMPARE(lastReport(status), false);
    QVERIFY(!gpi.isOpen());
    QVERIFY(log.contains(QStringLiteral("serial port open failed!")));

    status.clear();
    gpi.openSerialPort(QString());
    QCOMPARE(lastReport(status), false);
}

void TestGpi::bytesWrittenArriveAtFarEnd()
{
    Pty pty;
    GPI gpi;
    gpi.openSerialPort(pty.slavePath());
    QVERIFY(gpi.isOpen());
    LogCapture log;
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.append(char(i));
    }
    gpi.writeSerialData(bytes.constData(), bytes.size());
    QCOMPARE(pty.readAtLeast(bytes.size()), bytes);
    QCOMPARE(log.lines().first(), QStringLiteral("sending: \"%1\"").arg(QString(bytes.toHex())));
    QVERIFY(!log.contains(QStringLiteral("Serial port not open!")));
}

void TestGpi::chunksArriveSeparately()
{
    Pty pty;
    GPI gpi;
    gpi.openSerialPort(pty.slavePath());
    QSignalSpy ready(&gpi, &GPI::data_ready);
    LogCapture log;

    const QByteArray first = QByteArray::fromHex("24010011");
    const QByteArray second = QByteArray::fromHex("41ff00");
    pty.write(first);
    QVERIFY(ready.wait(5000));
    pty.write(second);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 2, 5000);

    // Nothing is joined or held back: each notification is one chunk.
    QCOMPARE(ready.at(0).at(0).toByteArray(), first);
    QCOMPARE(ready.at(1).at(0).toByteArray(), second);
    QCOMPARE(log.lines(), QStringList({QStringLiteral("received: \"24010011\""),
                                       QStringLiteral("received: \"41ff00\"")}));
}

void TestGpi::closeAnnouncesFalse()
{
    Pty pty;
    GPI gpi;
    gpi.openSerialPort(pty.slavePath());
    QVERIFY(gpi.isOpen());
    QSignalSpy status(&gpi, &GPI::serial_status_changed);
    gpi.closeSerialPort();
    QCOMPARE(status.count(), 1);
    QCOMPARE(lastReport(status), false);
    QVERIFY(!gpi.isOpen());

    // The port can be opened again after a close.
    gpi.openSerialPort(pty.slavePath());
    QCOMPARE(lastReport(status), true);
}

void TestGpi::closeWhenClosedStillAnnounces()
{
    GPI gpi;
    QSignalSpy status(&gpi, &GPI::serial_status_changed);
    gpi.closeSerialPort();
    QCOMPARE(status.count(), 1);
    QCOMPARE(lastReport(status), false);
}

void TestGpi::errorReportClosesAfterAnnouncing()
{
    Pty pty;
    GPI gpi;
    gpi.openSerialPort(pty.slavePath());
    QVERIFY(gpi.isOpen());

    QList<bool> openDuringSignal;
    connect(&gpi, &GPI::serial_status_changed, this,
            [&](bool) { openDuringSignal << gpi.isOpen(); });
    // Even "no error" is taken as a lost connection.
    gpi.handle_error(QSerialPort::NoError);
    QCOMPARE(openDuringSignal, QList<bool>({true}));
    QVERIFY(!gpi.isOpen());
}

void TestGpi::unpluggedPortIsReportedLost()
{
    auto pty = std::make_unique<Pty>();
    GPI gpi;
    gpi.openSerialPort(pty->slavePath());
    QVERIFY(gpi.isOpen());
    QSignalSpy status(&gpi, &GPI::serial_status_changed);
    pty.reset(); // the far end disappears, as with a pulled USB cable
    QTRY_VERIFY_WITH_TIMEOUT(!gpi.isOpen(), 5000);
    QVERIFY(!status.isEmpty());
    QCOMPARE(lastReport(status), false);
}

void TestGpi::destroyedChannelReleasesPort()
{
    Pty pty;
    {
        GPI first;
        first.openSerialPort(pty.slavePath());
        QVERIFY(first.isOpen());
        GPI rival;
        rival.openSerialPort(pty.slavePath());
        QVERIFY(!rival.isOpen()); // the port is taken while the first holds it
    }
    GPI second;
    second.openSerialPort(pty.slavePath());
    QVERIFY(second.isOpen());
}

void TestGpi::sendingWhileClosedTraces_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("hex");
    QTest::newRow("three bytes") << QByteArray::fromHex("01abff") << "01abff";
    QTest::newRow("start sequence") << QByteArray::fromHex("24000799000023") << "24000799000023";
    QTest::newRow("zero bytes") << QByteArray::fromHex("0000") << "0000";
    QTest::newRow("empty") << QByteArray() << "";
}

void TestGpi::sendingWhileClosedTraces()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, hex);
    GPI gpi;
    LogCapture log;
    gpi.writeSerialData(bytes.constData(), bytes.size());
    QCOMPARE(log.lines(), QStringList({QStringLiteral("sending: \"%1\"").arg(hex),
                                       QStringLiteral("Serial port not open!")}));
}

QTEST_GUILESS_MAIN(TestGpi)
#include "tst_gpi.moc"
