#include "serial/gpi.h"
#include "tests/support/fakeline.h"
#include "tests/support/logcapture.h"
#include "tests/support/testpty.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int LIMIT_MS = 5000;
}

class TestGpi : public QObject
{
    Q_OBJECT
private slots:
    // The port opens at the line settings; every byte value goes out as written, and each chunk
    // that comes in is handed on by itself.
    void openPortCarriesBytes()
    {
        TestPty pty;
        GPI gpi;
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        QSignalSpy ready(&gpi, &GPI::data_ready);
        gpi.openSerialPort(pty.slavePath());
        QCOMPARE(status.last().at(0).toBool(), true);
        // Read the line settings back from the terminal device itself.
        const int fd = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        termios tio{};
        QCOMPARE(tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
        QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));

        LogCapture log;
        QByteArray bytes;
        for (int i = 0; i < 256; ++i) {
            bytes.append(char(i));
        }
        gpi.writeSerialData(bytes.constData(), bytes.size());
        QCOMPARE(pty.readAtLeast(bytes.size()), bytes);
        pty.write(QByteArray::fromHex("24010011"));
        QVERIFY(ready.wait(LIMIT_MS));
        pty.write(QByteArray::fromHex("41ff00"));
        QVERIFY(ready.wait(LIMIT_MS));
        QCOMPARE(ready.at(0).at(0).toByteArray(), QByteArray::fromHex("24010011"));
        QCOMPARE(ready.at(1).at(0).toByteArray(), QByteArray::fromHex("41ff00"));
        QCOMPARE(log.lines(), QStringList({"sending: \"" + bytes.toHex() + "\"",
                                           "received: \"24010011\"", "received: \"41ff00\""}));
    }
    // A port that does not open is announced closed; what is sent to it is traced and dropped.
    void openingMissingPortFails_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("no such device") << "/dev/kt62-no-such-port";
        QTest::newRow("empty name") << "";
    }
    void openingMissingPortFails()
    {
        QFETCH(QString, name);
        LogCapture log;
        GPI gpi;
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        gpi.openSerialPort(name);
        QCOMPARE(status.last().at(0).toBool(), false);
        QVERIFY(!gpi.isOpen());
        gpi.writeSerialData("\x24\x00\x07", 3);
        QCOMPARE(log.lines(), QStringList({"serial port open failed!", "sending: \"240007\"",
                                           "Serial port not open!"}));
    }
    void closeAlwaysAnnouncesFalse()
    {
        TestPty pty;
        GPI gpi;
        gpi.openSerialPort(pty.slavePath());
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        const QByteArray cancel = QByteArray::fromHex("2401002100");
        gpi.writeSerialData(cancel.constData(), cancel.size());
        gpi.closeSerialPort(); // what was written just before still goes out
        QCOMPARE(pty.readAtLeast(cancel.size()), cancel);
        QVERIFY(!gpi.isOpen());
        gpi.closeSerialPort(); // already closed: announced all the same
        QCOMPARE(status.count(), 2);
        QCOMPARE(status.at(1).at(0).toBool(), false);
        gpi.openSerialPort(pty.slavePath());
        QCOMPARE(status.last().at(0).toBool(), true);
    }
    void errorReportClosesAfterAnnouncing()
    {
        TestPty pty;
        GPI gpi;
        gpi.openSerialPort(pty.slavePath());
        QList<bool> during_signal;
        connect(&gpi, &GPI::serial_status_changed, this, [&](bool connected) {
            during_signal << connected << gpi.isOpen() << gpi.reporting_error();
        });
        // Even "no error" is taken as a lost connection.
        gpi.handle_error(QSerialPort::NoError);
        QCOMPARE(during_signal, QList<bool>({false, true, true}));
        QVERIFY(!gpi.isOpen() && !gpi.reporting_error());
    }
    void unpluggedPortIsReportedLost()
    {
        auto pty = std::make_unique<TestPty>();
        GPI gpi;
        gpi.openSerialPort(pty->slavePath());
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        pty.reset(); // the far end disappears, as with a pulled USB cable
        QTRY_VERIFY_WITH_TIMEOUT(!gpi.isOpen(), LIMIT_MS);
        QCOMPARE(status.last().at(0).toBool(), false);
    }
    void destroyedChannelReleasesPort()
    {
        TestPty pty;
        {
            GPI first;
            first.openSerialPort(pty.slavePath());
            GPI rival;
            rival.openSerialPort(pty.slavePath());
            QVERIFY(first.isOpen() && !rival.isOpen()); // taken while the first holds it
        }
        GPI second;
        second.openSerialPort(pty.slavePath());
        QVERIFY(second.isOpen());
    }
    void standInCarriesTheTraffic()
    {
        FakeLine line;
        GPI gpi;
        gpi.set_device(&line);
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        QSignalSpy ready(&gpi, &GPI::data_ready);
        LogCapture log;
        gpi.openSerialPort(QString());
        QVERIFY(gpi.isOpen() && status.last().at(0).toBool());
        gpi.writeSerialData("\x24\x00", 2);
        line.feed(QByteArray::fromHex("0615"));
        QCOMPARE(line.take_sent(), QByteArray::fromHex("2400"));
        QCOMPARE(ready.count(), 1);
        QCOMPARE(ready.at(0).at(0).toByteArray(), QByteArray::fromHex("0615"));
        // The trace does not depend on which device carries the bytes.
        QCOMPARE(log.lines(), QStringList({"sending: \"2400\"", "received: \"0615\""}));
        gpi.closeSerialPort();
        QVERIFY(!line.isOpen() && !status.last().at(0).toBool());
        gpi.set_device(nullptr); // back to the serial port, which is closed
        QVERIFY(!gpi.isOpen());
    }
    // What the system takes is gone from the port's own queue; the rest can be dropped. (The
    // engine's tests drop what a stand-in holds.)
    void discardDropsWhatIsQueued()
    {
        LogCapture log; // keeps the trace of the lot out of the test's output
        TestPty pty;    // not read until the end: the line does not drain
        GPI gpi;
        gpi.openSerialPort(pty.slavePath());
        const QByteArray lot(256 * 1024, '\x5a');
        gpi.writeSerialData(lot.constData(), lot.size());
        QTRY_VERIFY_WITH_TIMEOUT(gpi.pending_output() > 0 && gpi.pending_output() <= lot.size(),
                                 LIMIT_MS);
        gpi.discard_output();
        QCOMPARE(gpi.pending_output(), 0);
        gpi.writeSerialData("\x04\x00", 2); // what is written after the discard still goes out
        QByteArray arrived;
        QVERIFY(QTest::qWaitFor(
            [&] { return (arrived += pty.readNow()).endsWith(QByteArray::fromHex("0400")); },
            LIMIT_MS));
        QVERIFY(arrived.size() < lot.size());
    }
};

QTEST_GUILESS_MAIN(TestGpi)
#include "tst_gpi.moc"
