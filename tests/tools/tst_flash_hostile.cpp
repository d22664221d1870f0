// kt62-flash against hostile devices (kt62-sim's faults) and an operator's slips, end to end:
// each case's exit code, what the device received and what is left on disk; and a run stopped
// by a signal.
#include "firmware/firmware_image.h"
#include "tests/tools/flash_run.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {
constexpr int PLAIN_SIZE = 20 * 1024 + 100; // 21 packets once encrypted
constexpr int LIMIT_MS = 30000;
const QString FIRMWARE = "KT62_V01.02.03.04.bin", EMPTY = "KT62_V09.09.09.09.bin";
const QString PLAIN = "KT62_01.02.03.04.bin";

// The lock QSerialPort holds on an open port, named after the port's path; empty when none.
QString lock_of(const QString &port)
{
    const QString name = "LCK.." + QString(port).replace('/', '_');
    for (const QString dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
        if (QFile::exists(dir + "/" + name)) {
            return dir + "/" + name;
        }
    }
    return QString();
}
} // namespace

class TestFlashHostile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        while (m_plain.size() < PLAIN_SIZE) {
            m_plain.append(char(m_plain.size() * 7919 % 257));
        }
        m_image = encrypt_image(m_plain);
        QDir(m_dir.path()).mkdir("out");
        // An output named as the encryption names it, linked back to its own source.
        QVERIFY(write(PLAIN, m_plain) && write(FIRMWARE, m_image) &&
                write(EMPTY, encrypt_image("")) &&
                QFile::link("../" + PLAIN, path("out/" + FIRMWARE)));
        QFile sparse(path("KT62_V06.06.06.06.bin")); // a terabyte that takes no room
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(1) << 40));
        QCOMPARE(mkfifo(qPrintable(path("KT62_V07.07.07.07.bin")), 0600), 0);
        QCOMPARE(mkfifo(qPrintable(path("KT62_07.bin")), 0600), 0);
    }

    void hostileDevices_data()
    {
        QTest::addColumn<QList<QStringList>>("devices"); // simulator flags, one list per port
        QTest::addColumn<QStringList>("flags");          // of kt62-flash, before the firmware
        QTest::addColumn<QVector<int>>("codes");         // per port
        QTest::addColumn<QString>("message");            // the last port's, in the report
        QTest::addColumn<QString>("heard");              // a line of the last device's log
        QTest::addColumn<QString>("out");
        using Devices = QList<QStringList>;
        const QString stalled = "no progress in the transfer for 1.5 s (0 of 21 blocks "
                                "acknowledged)";
        const QString early = "the device reported success before receiving the image (0 of 21 "
                              "blocks acknowledged)";
        const QString erased = "erase finished", queried = "query \"01.02.03.04\"";
        // Talking without progress ends as silence does.
        QTest::newRow("\"C\" once a second") << Devices{{"--crc-mode"}} << QStringList()
                                             << QVector<int>{4} << stalled << erased << "";
        QTest::newRow("boot log") << Devices{{"--babble"}} << QStringList() << QVector<int>{4}
                                  << "no answer from the device for 1.5 s" << queried << "";
        QTest::newRow("NAK stream") << Devices{{"--nak-stream"}} << QStringList() << QVector<int>{4}
                                    << stalled << erased << "";
        QTest::newRow("four ports, one saying \"C\"")
            << Devices{{}, {}, {}, {"--crc-mode"}} << QStringList() << QVector<int>{0, 0, 0, 4}
            << stalled << erased << "";
        // An erase is waited for as long as --erase-timeout says, silence or not.
        QTest::newRow("silent erase longer than --timeout")
            << Devices{{"--erase-ms", "2500"}} << QStringList() << QVector<int>{0}
            << "Upgrade finished!"
            << "result ok"
            << "";
        QTest::newRow("erase beyond --erase-timeout")
            << Devices{{"--erase-ms", "2500"}} << QStringList{"--erase-timeout", "1"}
            << QVector<int>{4}
            << "the erase did not end within 1 s (--erase-timeout); the device may be erased and "
               "must be upgraded again"
            << "erase 20584 bytes"
            << "";
        // Success counts only for an image that went out and was acknowledged.
        QTest::newRow("success before the transfer")
            << Devices{{"--early-success"}} << QStringList() << QVector<int>{1} << early
            << "result ok, before any image"
            << "";
        QTest::newRow("ACKs for blocks never sent")
            << Devices{{"--ack-unseen"}} << QStringList() << QVector<int>{1} << early << "result ok"
            << "";
        QTest::newRow("a check answered with success")
            << Devices{{"--early-success"}} << QStringList{"--check-version"} << QVector<int>{1}
            << "the device reported success instead of its firmware information"
            << "result ok, before any image"
            << "";
        QTest::newRow("escape sequence and line end in the version")
            << Devices{{"--info", "KT62_V\x1b[2J1.0\n0.00_x"}} << QStringList{"--check-version"}
            << QVector<int>{0} << "CheckVersion Finish!"
            << "cancel"
            << "Current version: \\x1b[2J1.0\\x0a0.0\nTarget version: 01.02.03.04\n";
    }

    void hostileDevices()
    {
        QFETCH(QList<QStringList>, devices);
        QFETCH(QStringList, flags);
        QFETCH(QVector<int>, codes);
        QFETCH(QString, heard);
        std::vector<std::unique_ptr<Sim>> sims;
        QStringList arguments{"--timeout", "1.5", "--report", path("report.json")};
        for (const QStringList &device : devices) {
            sims.push_back(std::make_unique<Sim>(device));
            QVERIFY(QTest::qWaitFor([&] { return QFile::exists(sims.back()->port()); }, LIMIT_MS));
            arguments << "--port" << sims.back()->port();
        }
        const Run run(arguments + flags + QStringList(path(FIRMWARE)));
        QCOMPARE(run.code, *std::max_element(codes.begin(), codes.end()));
        QTEST(run.out, "out");
        for (int i = 0; i < codes.size(); ++i) {
            QCOMPARE(report(path("report.json"), i).value("exit_code").toInt(-1), codes[i]);
            const bool upgraded = codes[i] == 0 && !flags.contains("--check-version");
            QVERIFY(!upgraded || sims[i]->process.waitForFinished(LIMIT_MS));
            // Only a good run leaves an image on the device, and only the one sent.
            const QString saved = sims[i]->dir.filePath("saved");
            QCOMPARE(QFile::exists(saved), upgraded);
            QVERIFY(!upgraded || read_file(saved) == m_plain);
        }
        QTEST(report(path("report.json"), codes.size() - 1).value("message").toString(), "message");
        QVERIFY2(sims.back()->hears(heard + "\n"), qPrintable(sims.back()->log));
    }

    void operatorSlips_data()
    {
        // Words of the command line: TTY is the device's link, PTS its pty, SIMDIR the link's
        // folder; other paths are relative to the test's folder, where the flasher runs.
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // in standard error
        QTest::addColumn<QByteArray>("delivered");
        const QString fw = " " + FIRMWARE;
        QTest::newRow("a link and its pty")
            << "--port TTY --port PTS" + fw << 2 << "are the same device" << QByteArray();
        QTest::newRow("dir/../tty") << "--port TTY --port SIMDIR/x/../tty" + fw << 2
                                    << "are the same device" << QByteArray();
        QTest::newRow("report over the firmware") << "--port TTY --report " + FIRMWARE + fw << 2
                                                  << "it is the firmware file" << QByteArray();
        QTest::newRow("report over the port")
            << "--port TTY --report PTS" + fw << 2 << "it is the port TTY" << QByteArray();
        QTest::newRow("report in a missing folder")
            << "--port TTY --report missing/r.json" + fw << 2 << "does not exist" << QByteArray();
        QTest::newRow("relative port with a slash") << "--port sims/tty" + fw << 0 << "" << m_plain;
        QTest::newRow("empty image") << "--port TTY " + EMPTY << 2
                                     << EMPTY + ": empty image (no firmware bytes)" << QByteArray();
        QTest::newRow("empty image with --force")
            << "--force --port TTY " + EMPTY << 0 << "" << QByteArray("");
        QTest::newRow("encrypt over its source") << "--encrypt " + PLAIN + " --output-dir out" << 2
                                                 << "would replace the plain image" << QByteArray();
        QTest::newRow("encrypt a FIFO") << "--encrypt KT62_07.bin --output-dir out" << 2
                                        << "KT62_07.bin: not a regular file" << QByteArray();
        QTest::newRow("inspect a FIFO")
            << "--inspect KT62_V07.07.07.07.bin" << 2 << "KT62_V07.07.07.07.bin: not a regular file"
            << QByteArray();
        QTest::newRow("inspect a sparse terabyte")
            << "--inspect KT62_V06.06.06.06.bin" << 2 << "1099511627776 bytes is too large"
            << QByteArray();
        QTest::newRow("inspect an empty image")
            << "--inspect " + EMPTY << 2 << "empty image (no firmware bytes)" << QByteArray();
    }

    void operatorSlips()
    {
        QFETCH(QString, arguments);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QByteArray, delivered);
        Sim sim({});
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(sim.port()); }, LIMIT_MS));
        QDir(sim.dir.path()).mkdir("x");
        QFile::remove(path("sims"));
        QVERIFY(QFile::link(sim.dir.path(), path("sims")));
        const QString pts = QFileInfo(sim.port()).symLinkTarget();
        arguments.replace("TTY", sim.port()).replace("PTS", pts).replace("SIMDIR", sim.dir.path());
        const Run run(arguments.split(' '), m_dir.path());
        QCOMPARE(run.code, code);
        QVERIFY2(run.err.contains(message.replace("TTY", sim.port())), qPrintable(run.err));
        // The inputs are as they were, nothing was made where a run was refused ...
        QCOMPARE(read_file(path(FIRMWARE)), m_image);
        QCOMPARE(read_file(path(PLAIN)), m_plain);
        QVERIFY(!QFile::exists(path("missing")));
        // ... and the device got the image of a good run, and nothing at all of a refused one:
        // a version check after it is the first thing the device hears.
        if (code != 0) {
            const Run check({"--check-version", "--port", sim.port()});
            QVERIFY(!arguments.contains("--port") ||
                    (sim.hears("cancel") && check.code == 0 &&
                     sim.log.section('\n', 2, 2) == "start sequence"));
            return;
        }
        QVERIFY(sim.process.waitForFinished(LIMIT_MS));
        QVERIFY(QFile::exists(sim.dir.filePath("saved")));
        QCOMPARE(read_file(sim.dir.filePath("saved")), delivered);
    }

    void stopSignal_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void stopSignal() // mid-transfer on a slow line, with the port locked
    {
        QFETCH(int, number);
        Sim sim({"--pace", "19200", "--verbose"});
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(sim.port()); }, LIMIT_MS));
        QProcess flash;
        flash.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash",
                    {"--port", sim.port(), "--report", path("stopped.json"), path(FIRMWARE)});
        QVERIFY(sim.hears("block 2 ok"));
        const QString lock = lock_of(sim.port());
        QVERIFY(!lock.isEmpty());
        QCOMPARE(::kill(pid_t(flash.processId()), number), 0);
        QVERIFY(flash.waitForFinished(LIMIT_MS));
        QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
        QCOMPARE(flash.exitCode(), 128 + number);
        const QJsonObject entry = report(path("stopped.json"), 0);
        QCOMPARE(report(path("stopped.json")).value("exit_code").toInt(), 128 + number);
        QCOMPARE(entry.value("result").toString(), QString("interrupted"));
        QVERIFY(!QFile::exists(lock)); // released, not left stale
        // Nothing more went out: the line falls silent mid-image.
        QVERIFY(sim.hears("asking again for block"));
        QVERIFY(!sim.log.contains("end of transmission"));
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    QTemporaryDir m_dir;
    QByteArray m_plain, m_image;
};

QTEST_GUILESS_MAIN(TestFlashHostile)
#include "tst_flash_hostile.moc"
