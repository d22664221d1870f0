#include "serial/gpi.h"
#include "serial/port_access.h"
#include "tests/support/fakeline.h"
#include "tests/support/logcapture.h"
#include "tests/support/testpty.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
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
    // Why an open failed, as the user must act on it. A port held by another channel is in use
    // under any spelling of its device (Qt's lock goes by the name alone, and does not stop
    // root); it is free again once its holder is gone.
    void openFailureReason_data()
    {
        QTest::addColumn<QString>("name"); // "pty", "link" (to the pty) or a path
        QTest::addColumn<bool>("held");    // another channel has the pty open
        QTest::addColumn<bool>("refused"); // the node refuses this user
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *tag, QString name, bool held, bool refused,
                            GPI::OpenFailure failure, QString text) {
            QTest::newRow(tag) << name << held << refused << int(failure) << text;
        };
        row("free", "link", false, false, GPI::OpenFailure::None, "");
        row("held, same name", "pty", true, false, GPI::OpenFailure::InUse, "");
        row("held, another name", "link", true, false, GPI::OpenFailure::InUse,
            "Resource temporarily unavailable");
        row("node refuses the user", "pty", true, true, GPI::OpenFailure::Permission, "");
        row("missing", "/dev/kt62-no-such-port", false, false, GPI::OpenFailure::Missing,
            "No such file or directory");
    }
    void openFailureReason()
    {
        QFETCH(QString, name);
        QFETCH(bool, refused);
        QFETCH(int, failure);
        QFETCH(QString, text);
        TestPty pty;
        QTemporaryDir dir;
        const QString link = dir.filePath("tty");
        QVERIFY(QFile::link(pty.slavePath(), link));
        auto holder = std::make_unique<GPI>();
        if (QTest::currentDataTag() != QByteArray("free") && name != "/dev/kt62-no-such-port") {
            holder->openSerialPort(pty.slavePath());
            QVERIFY(holder->isOpen());
        }
        set_port_node_facts_source([refused](const QString &) {
            return std::optional<PortNodeFacts>(PortNodeFacts{true, !refused, "dialout", true});
        });
        LogCapture log;
        GPI gpi;
        gpi.openSerialPort(name == "pty" ? pty.slavePath() : name == "link" ? link : name);
        set_port_node_facts_source({});
        QCOMPARE(int(gpi.open_failure()), failure);
        QCOMPARE(gpi.isOpen(), failure == int(GPI::OpenFailure::None));
        QVERIFY2(text.isEmpty() || gpi.open_failure_text() == text,
                 qPrintable(gpi.open_failure_text()));
        if (failure == int(GPI::OpenFailure::InUse)) {
            holder.reset(); // the holder gone, the device is free under any name
            gpi.openSerialPort(link);
            QVERIFY(gpi.isOpen() && gpi.open_failure() == GPI::OpenFailure::None);
        }
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
        line.open_error = "refused by the stand-in";
        gpi.openSerialPort(QString());
        QCOMPARE(gpi.open_failure(), GPI::OpenFailure::Other);
        QCOMPARE(gpi.open_failure_text(), line.open_error);
        gpi.set_device(nullptr); // back to the serial port, which is closed
        QVERIFY(!gpi.isOpen());
    }
    // Marks tell what left the program: bytes still queued in the device have not, bytes
    // dropped before they left never do.
    void outputMarks()
    {
        LogCapture log;
        FakeLine line;
        GPI gpi;
        gpi.set_device(&line, [&line] { line.discard(); });
        gpi.openSerialPort(QString());
        line.stalled = true;
        gpi.writeSerialData("abc", 3);
        QCOMPARE(gpi.output_mark(), 3);
        QCOMPARE(gpi.departed_mark(), 0);
        line.drain();
        QCOMPARE(gpi.departed_mark(), 3);
        line.stalled = true;
        gpi.writeSerialData("de", 2);
        gpi.discard_output();
        gpi.writeSerialData("f", 1);
        QCOMPARE(gpi.output_mark(), 4);
        QCOMPARE(gpi.departed_mark(), 3);
        line.drain();
        QCOMPARE(gpi.departed_mark(), 4);
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
