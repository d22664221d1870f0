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
#include <numeric>
#include <termios.h>
#include <unistd.h>

constexpr int LIMIT_MS = 5000;

class TestGpi : public QObject
{
    Q_OBJECT
private slots:
    // The port opens at the line settings; every byte value goes out as written, each chunk that
    // comes in is handed on by itself, both traced.
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
        QByteArray bytes(256, 0);
        std::iota(bytes.begin(), bytes.end(), 0); // every byte value
        gpi.writeSerialData(bytes.constData(), bytes.size());
        QCOMPARE(pty.readAtLeast(bytes.size()), bytes);
        for (const char *chunk : {"24010011", "41ff00"}) {
            pty.write(QByteArray::fromHex(chunk));
            QVERIFY(ready.wait(LIMIT_MS));
            QCOMPARE(ready.last().at(0).toByteArray(), QByteArray::fromHex(chunk));
        }
        QCOMPARE(log.lines(), QStringList({"sending: \"" + bytes.toHex() + "\"",
                                           "received: \"24010011\"", "received: \"41ff00\""}));
    }
    // What was written just before a close still goes out; a close announces false even when
    // the port was closed already.
    void closeAlwaysAnnouncesFalse()
    {
        TestPty pty;
        GPI gpi;
        gpi.openSerialPort(pty.slavePath());
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        gpi.writeSerialData("\x24\x01\x00\x21\x00", 5);
        gpi.closeSerialPort();
        QCOMPARE(pty.readAtLeast(5), QByteArray::fromHex("2401002100"));
        gpi.closeSerialPort();
        QCOMPARE(QList<QVariantList>(status), (QList<QVariantList>{{false}, {false}}));
        QVERIFY(!gpi.isOpen());
    }
    // A pulled cable (the far end gone) is a lost connection: announced while the port is still
    // open, inside the error report, and closed right after.
    void unpluggedPortIsReportedLost()
    {
        auto pty = std::make_unique<TestPty>();
        GPI gpi;
        gpi.openSerialPort(pty->slavePath());
        QList<bool> announced;
        connect(&gpi, &GPI::serial_status_changed, this, [&](bool connected) {
            announced << connected << gpi.isOpen() << gpi.reporting_error();
        });
        pty.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!gpi.isOpen(), LIMIT_MS);
        QCOMPARE(announced, QList<bool>({false, true, true}));
        QVERIFY(!gpi.reporting_error());
    }
    // Why an open failed, as the user must act on it; a port that did not open is announced
    // closed, and what is sent to it is dropped (both traced). A port held by another channel
    // is in use under any spelling of its device (Qt's lock goes by the name alone, and does not
    // stop root); it is free again once its holder is gone.
    void openFailure_data()
    {
        QTest::addColumn<QString>("name"); // "pty", "link" (to the pty), or the name itself
        QTest::addColumn<bool>("held");    // another channel has the pty open
        QTest::addColumn<bool>("refused"); // the node refuses this user
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("text"); // the system's words; empty: not looked at
        const auto row = [](const char *tag, const char *name, bool held, bool refused,
                            GPI::OpenFailure failure, const char *text) {
            QTest::newRow(tag) << QString(name) << held << refused << int(failure) << text;
        };
        row("free", "link", false, false, GPI::OpenFailure::None, "");
        row("held, same name", "pty", true, false, GPI::OpenFailure::InUse, "");
        row("held, another name", "link", true, false, GPI::OpenFailure::InUse,
            "Resource temporarily unavailable");
        row("node refuses the user", "pty", true, true, GPI::OpenFailure::Permission, "");
        row("missing", "/dev/kt62-no-such-port", false, false, GPI::OpenFailure::Missing,
            "No such file or directory");
        row("no name", "", false, false, GPI::OpenFailure::Other, "");
    }
    void openFailure()
    {
        QFETCH(QString, name);
        QFETCH(bool, held);
        QFETCH(bool, refused);
        QFETCH(int, failure);
        QFETCH(QString, text);
        TestPty pty;
        QTemporaryDir dir;
        const QString link = dir.filePath("tty");
        QVERIFY(QFile::link(pty.slavePath(), link));
        auto holder = std::make_unique<GPI>();
        if (held) {
            holder->openSerialPort(pty.slavePath());
        }
        set_port_node_facts_source([refused](const QString &) {
            return std::optional<PortNodeFacts>(PortNodeFacts{true, !refused, "dialout", true});
        });
        GPI gpi;
        QSignalSpy status(&gpi, &GPI::serial_status_changed);
        LogCapture log;
        gpi.openSerialPort(name == "pty" ? pty.slavePath() : name == "link" ? link : name);
        gpi.writeSerialData("\x24", 1);
        set_port_node_facts_source({});
        QCOMPARE(int(gpi.open_failure()), failure);
        const bool opened = failure == int(GPI::OpenFailure::None);
        QCOMPARE(gpi.isOpen(), opened);
        QCOMPARE(status.last().at(0).toBool(), opened);
        QCOMPARE(log.contains("serial port open failed!"), !opened);
        QCOMPARE(log.contains("Serial port not open!"), !opened);
        if (!text.isEmpty()) {
            QCOMPARE(gpi.open_failure_text(), text);
        }
        if (failure == int(GPI::OpenFailure::InUse)) {
            holder.reset(); // the holder gone, the device is free under any name
            gpi.openSerialPort(link);
            QVERIFY(gpi.isOpen());
            QCOMPARE(gpi.open_failure(), GPI::OpenFailure::None);
        }
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
    // What the system takes is gone from the port's own queue; the rest can be dropped, and
    // what is written after that still goes out.
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
        gpi.writeSerialData("\x04\x00", 2);
        QByteArray arrived;
        QVERIFY(QTest::qWaitFor(
            [&] { return (arrived += pty.readNow()).endsWith(QByteArray::fromHex("0400")); },
            LIMIT_MS));
        QVERIFY(arrived.size() < lot.size());
    }
};

QTEST_GUILESS_MAIN(TestGpi)
#include "tst_gpi.moc"
