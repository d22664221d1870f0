// kt62-flash against kt62-sim over ptys, good, faulty and hostile devices, an operator's slips and
// the command line's verdicts; in-process the checks and the progress display.
#include "firmware/firmware_image.h"
#include "production/firmware_input.h"
#include "production/flash_job.h"
#include "production/node_watch.h"
#include "production/operator_slips.h"
#include "tests/tools/flash_run.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/progress_display.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
const QString ABSENT = "absent"; // a port with no device behind it
const QString FIRMWARE = "KT62_V01.02.03.04.bin", PLAIN = "KT62_01.02.03.04.bin";
const QString EMPTY = "KT62_V09.09.09.09.bin"; // a header and no firmware bytes

template <typename Fill> QString written(Fill fill) // all that fill wrote to a stream
{
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    fill(out);
    std::fclose(out);
    const QString text = QString::fromLatin1(buffer, int(size));
    std::free(buffer);
    return text;
}

// One port of a run: the simulator's flags behind it (ABSENT: none), the exit code its run ends
// with and the last phase it reached.
struct Port
{
    QString sim;
    int code;
    QString reached;
};

QString reached(const QJsonObject &entry) // the last phase of the run reached, each before it too
{
    const QStringList phases{"none", "query", "erase", "transfer", "completion"};
    int next = 1;
    while (next < phases.size() && entry["phases"][phases.at(next)].isDouble()) {
        ++next;
    }
    return phases.at(next - 1);
}
} // namespace

Q_DECLARE_METATYPE(Port)

class TestFlash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_plain = plain_image();
        QVERIFY(write_file(path(PLAIN), m_plain) && write_file(m_renamed, m_plain));
        const Run encrypt({"--encrypt", path(PLAIN), "--output-dir",
                           m_dir.path() + "/"}); // the trailing "/" is not doubled
        QCOMPARE(encrypt.out, m_good + "\n");
        m_image = read_file(m_good); // sound, as the upgrades show
        QVERIFY(write_file(path("KT62_V00.00.00.01.bin"), "") &&
                write_file(path(EMPTY), encrypt_image("")));
        QVERIFY(QDir(m_dir.path()).mkdir("out") && QDir(m_dir.path()).mkdir("devout") &&
                QFile::link("../" + PLAIN, path("out/" + FIRMWARE)));
        QFile sparse(path("KT62_V06.06.06.06.bin")); // a terabyte that takes no room
        QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(qint64(1) << 40));
        QCOMPARE(mkfifo(qPrintable(path("KT62_V07.07.07.07.bin")), 0600), 0);
        for (const QString &node : QStringList{"node", "devout/" + FIRMWARE}) {
            QCOMPARE(mknod(qPrintable(path(node)), S_IFCHR | 0600, makedev(1, 3)), 0);
        }
        QVERIFY(mkfifo(qPrintable(path("fifo")), 0600) == 0 &&
                QFile::link("fifo", path("fifo-link")));
    }

    void upgrade_data()
    {
        QTest::addColumn<QList<Port>>("ports");
        QTest::addColumn<QString>("flags");   // of kt62-flash; the firmware when not the good one
        QTest::addColumn<QString>("message"); // the last port's, in the report
        QTest::addColumn<QString>("heard");   // in the last device's log
        QTest::addColumn<QString>("out");
        const auto row = [](const char *tag, const QList<Port> &ports, const QString &flags,
                            const QString &message, const QString &heard, const QString &out = "") {
            QTest::newRow(tag) << ports << flags << message << heard << out;
        };
        const QString stalled = "no progress in the transfer for 1.5 s (0 of 21 blocks "
                                "acknowledged)";
        const QString early = "the device reported success before receiving the image (0 of 21 "
                              "blocks acknowledged)";
        const QString finished = "Upgrade finished!", queried = "query \"01.02.03.04\"";
        row("one device", {{"", 0, "completion"}}, "", finished, "result ok");
        row("faults side by side",
            {{"--chunk-split --noise 0.5 --seed 9", 0, "completion"},
             {"--nak-rate 0.3 --seed 10", 0, "completion"},
             {"--fail-result", 1, "completion"},
             {ABSENT, 3, "query"},
             {"--exit-after 3", 3, "transfer"},
             {"--silent-after 3", 4, "transfer"}},
            "", "no progress in the transfer for 1.5 s (3 of 21 blocks acknowledged)",
            "silent after 3 blocks");
        row("mismatched header sent with --force", {{"", 1, "completion"}}, "--force " + m_renamed,
            "the device reported failure", "result failed");
        row("\"C\" once a second", {{"--crc-mode", 4, "transfer"}}, "", stalled, "erase finished");
        row("boot log", {{"--babble", 4, "query"}}, "", "no answer from the device for 1.5 s",
            queried);
        row("silent erase longer than --timeout", {{"--erase-ms 2500", 0, "completion"}}, "",
            finished, "result ok");
        row("erase beyond --erase-timeout", {{"--erase-ms 2500", 4, "erase"}}, "--erase-timeout 1",
            "the erase did not end within 1 s (--erase-timeout); the device may be erased and "
            "must be upgraded again",
            "erase 20584 bytes");
        row("success before the transfer", {{"--early-success", 1, "query"}}, "", early,
            "result ok, before any image");
        row("ACKs for blocks never sent", {{"--ack-unseen", 1, "completion"}}, "", early,
            "result ok");
        // An ACK read while its block was still queued here answers nothing that was sent.
        row("ACKs read before the blocks left", {{"--blind-acks", 1, "completion"}}, "", early,
            "result ok, blind");
        row("an answer twice in one write", {{"--answer-twice", 1, "erase"}}, "",
            "the device answered the query again after the erase was asked for; it may be erased "
            "and must be upgraded again",
            "cancel");
        row("an erase this run did not ask for", {{"--unasked-erase", 1, "query"}}, "",
            "the device asked for the image before this run asked it to erase; it may hold part "
            "of an image and must be upgraded again",
            "erase finished, unasked");
        row("erase finished and every block acknowledged, again and again",
            {{"--erase-loop", 4, "completion"}}, "",
            "no result from the device for 1.5 s after the end of transmission", "erase finished");
        // Each wait starts when its step can begin: the answer's with the first query, a second
        // after the start; the next block's as the one before is acknowledged.
        row("paced transfer longer than --timeout", {{"--pace 38400", 0, "completion"}},
            "--timeout 0.8", finished, "result ok");
        row("a check answered with success", {{"--early-success", 1, "query"}}, "--check-version",
            "the device reported success instead of its firmware information",
            "result ok, before any image");
        row("escape sequence and line end in the version",
            {{"--info KT62_V\x1b[2J1.0\n0.00_x", 0, "query"}}, "--check-version",
            "CheckVersion Finish!", queried,
            "Current version: \\x1b[2J1.0\\x0a0.0\nTarget version: 01.02.03.04\n");
    }

    void upgrade()
    {
        QFETCH(QList<Port>, ports);
        QFETCH(QString, flags);
        std::vector<std::unique_ptr<Sim>> sims;
        QStringList arguments{"--timeout", "1.5", "--report", path("report.json")};
        int worst = 0;
        for (const Port &port : ports) {
            const QStringList once = (port.sim + " --once").split(' ', Qt::SkipEmptyParts);
            sims.push_back(port.sim == ABSENT ? nullptr : std::make_unique<Sim>(once));
            QVERIFY(!sims.back() || sims.back()->ready());
            arguments << "--port" << (sims.back() ? sims.back()->link : path(ABSENT));
            worst = std::max(worst, port.code);
        }
        arguments += flags.split(' ', Qt::SkipEmptyParts);
        const Run run(flags.contains(".bin") ? arguments : arguments << m_good);
        QCOMPARE(run.code, worst);
        QCOMPARE(report(path("report.json")).value("exit_code").toInt(-1), run.code);
        QTEST(run.out, "out");
        const bool check = flags.contains("--check-version");
        for (int i = 0; i < ports.size(); ++i) {
            const QJsonObject entry = report(path("report.json"), i);
            const int code = entry.value("exit_code").toInt(-1);
            QCOMPARE(code, ports.at(i).code);
            QCOMPARE(reached(entry), ports.at(i).reached);
            const QString prefix = ports.size() > 1 ? entry.value("port").toString() + ": " : "";
            const bool upgraded = code == 0 && !check;
            QCOMPARE(run.err.contains(prefix + "Upgrade finished!\n"), upgraded);
            QCOMPARE(run.err.contains("kt62-flash: " + prefix), code != 0);
            // Silent: not before the first query's second (5 % early at worst) and 1.5 s more.
            if (entry["message"].toString().contains("no progress in")) {
                const double total = entry["phases"]["total"].toDouble();
                QVERIFY2(total >= 2.45, qPrintable(QString::number(total)));
            }
            if (!sims[i]) {
                continue;
            }
            // A device that gave its result or answered a check is done, well when it holds the
            // image sent or was only asked; it keeps an image only when it took all of it, and
            // after a good run the one sent.
            if (ports.at(i).reached == "completion" || (check && code == 0)) {
                QCOMPARE(sims[i]->code(), check || read_file(sims[i]->saved()) == m_plain ? 0 : 1);
            }
            QCOMPARE(QFile::exists(sims[i]->saved()), entry["blocks_acknowledged"].toInt() == 21);
            const QString events = sims[i]->events().join('\n');
            QVERIFY2(!check || !events.contains("erase"), qPrintable(events)); // erases nothing
            if (upgraded) {
                QCOMPARE(read_file(sims[i]->saved()), m_plain);
                const QRegularExpression again("transfer: .* (\\d+) asked again");
                const int repeats = again.match(events).captured(1).toInt(); // 0 if none
                QCOMPARE(entry["repeats"].toInt(), repeats);
                QVERIFY2(repeats > 0 || !ports.at(i).sim.contains("--nak-rate"),
                         qPrintable(events));
            }
        }
        QTEST(report(path("report.json"), ports.size() - 1).value("message").toString(), "message");
        QFETCH(QString, heard);
        QVERIFY2(sims.back()->hears(heard + "\n"), qPrintable(sims.back()->out));
    }

    void operatorSlips_data()
    {
        // Words of the command line: TTY is the device's link, PTS its pty; other paths are
        // relative to the test's folder, where the flasher runs.
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message"); // in standard error; none for a good run
        const auto row = [](const char *tag, const QString &arguments, const QString &message) {
            QTest::newRow(tag) << arguments << message;
        };
        const QString fw = " " + FIRMWARE, same = "are the same device";
        // Refused with a report named, the report says so (not an older run's outcome).
        row("a link and its pty", "--port TTY --port PTS --report r.json" + fw, same);
        row("usage error", "--port TTY --report r.json --timeout 0" + fw,
            "--timeout takes a number of seconds");
        row("report over the firmware", "--port TTY --report " + FIRMWARE + fw,
            "it is the firmware file");
        row("report over the port", "--port TTY --report PTS" + fw, "it is the port TTY");
        row("report in a missing folder", "--port TTY --report missing/r.json" + fw,
            "does not exist");
        // Only a regular file is replaced, never a device, FIFO or folder, or a link to one.
        const QString report = "cannot write the report ";
        row("report onto a device node", "--port TTY --report node" + fw,
            report + "node: not a regular file (a device)");
        row("report onto a link to a FIFO", "--port TTY --report fifo-link" + fw,
            report + "fifo-link: not a regular file (a FIFO)");
        row("report onto a folder", "--port TTY --report out" + fw,
            report + "out: not a regular file (a folder)");
        row("encrypt onto a device node", "--encrypt " + PLAIN + " --output-dir devout",
            "devout/" + FIRMWARE + ": not a regular file (a device); nothing was written");
        row("relative port with a slash", "--port sims/tty" + fw, "");
        row("empty image", "--port TTY " + EMPTY, EMPTY + ": empty image (no firmware bytes)");
        row("mismatched header", "--port TTY KT62_V05.05.05.05.bin",
            "KT62_V05.05.05.05.bin: the checksum header does not match the body (header says "
            "0x71a1d100, body sums to 0x0027dfaa); a plain image? Encrypt it with --encrypt, or "
            "send it as it is with --force");
        row("encrypt over its source", "--encrypt " + PLAIN + " --output-dir out",
            "would replace the plain image");
        row("inspect a FIFO", "--inspect KT62_V07.07.07.07.bin",
            "KT62_V07.07.07.07.bin: not a regular file");
        row("inspect a sparse terabyte", "--inspect KT62_V06.06.06.06.bin",
            "1099511627776 bytes is too large");
    }

    void operatorSlips()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        Sim sim({"--once"});
        QVERIFY(sim.ready());
        QFile::remove(path("sims"));
        QVERIFY(QFile::link(sim.dir.path(), path("sims")));
        const QString pts = QFileInfo(sim.link).symLinkTarget();
        arguments.replace("TTY", sim.link).replace("PTS", pts);
        QVERIFY(write_file(path("r.json"), R"({"exit_code": 0})")); // an earlier good run's
        const Run run(arguments.split(' '), m_dir.path());
        QCOMPARE(run.code, message.isEmpty() ? 0 : 2);
        QVERIFY2(run.err.contains(message.replace("TTY", sim.link)), qPrintable(run.err));
        for (const QString &kept : QStringList{"node", "fifo", "devout/" + FIRMWARE}) {
            QVERIFY2(QFileInfo::exists(path(kept)) && !QFileInfo(path(kept)).isFile(),
                     qPrintable(kept));
        }
        if (arguments.contains("--report r.json")) {
            const QJsonObject refused = report(path("r.json"));
            QCOMPARE(refused.value("exit_code").toInt(-1), 2);
            QVERIFY2(refused.value("message").toString().contains(message), qPrintable(run.err));
            QCOMPARE(refused["ports"][0]["port"].toString() + ": " +
                         refused["ports"][0]["result"].toString(),
                     sim.link + ": bad input");
        }
        QCOMPARE(read_file(m_good), m_image);
        QCOMPARE(read_file(path(PLAIN)), m_plain);
        QVERIFY(!QFile::exists(path("missing")));
        if (run.code == 0) {
            QCOMPARE(sim.code(), 0);
            QCOMPARE(read_file(sim.saved()), m_plain);
        } else if (arguments.contains("--port")) {
            QCOMPARE(Run({"--check-version", "--port", sim.link}).code, 0);
            QVERIFY(sim.hears("cancel") && sim.out.section('\n', 2, 2) == "start sequence");
        }
    }

    void stopSignal_data()
    {
        QTest::addColumn<int>("number");
        for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
            QTest::addRow("%s", strsignal(number)) << number;
        }
    }

    void stopSignal() // mid-transfer on a slow line, with the port locked
    {
        QFETCH(int, number);
        Sim sim({"--pace", "19200", "--verbose"});
        QVERIFY(sim.ready());
        Tool flash({"--port", sim.link, "--report", path("stopped.json"), m_good});
        QVERIFY(sim.hears("block 1 ok"));
        const QString name = "/LCK.." + QString(sim.link).replace('/', '_');
        QString lock;
        for (const QString dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
            lock = QFile::exists(dir + name) ? dir + name : lock;
        }
        QVERIFY(!lock.isEmpty());
        QCOMPARE(::kill(pid_t(flash.process.processId()), number), 0);
        QCOMPARE(flash.code(), 128 + number);
        QCOMPARE(report(path("stopped.json")).value("exit_code").toInt(), 128 + number);
        QCOMPARE(report(path("stopped.json"), 0)["result"], QJsonValue("interrupted"));
        QVERIFY(!QFile::exists(lock)); // released, not left stale
        QVERIFY(sim.hears("asking again for block") && !sim.out.contains("end of transmission"));
    }

    void commandLine_data() // the tools' verdicts on the streams, with their exit codes
    {
        QTest::addColumn<QString>("line"); // the tool first
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out"); // how standard output begins
        QTest::addColumn<QString>("err"); // how standard error ends
        const auto row = [](const char *tag, const QString &line, int code, const QString &out,
                            const QString &err) {
            QTest::newRow(tag) << line << code << out << err;
        };
        row("help", "flash/kt62-flash --list-ports --help", 0,
            "Usage: " + Tool::built("flash/kt62-flash") +
                " [options] FIRMWARE\nUpgrades the firmware of KT62 devices",
            "");
        row("version", "flash/kt62-flash -v", 0, "kt62-flash " KT62_VERSION "\n", "");
        const QString facts = "file: %1\nmodel: KT62\ntarget version: %2\nsize: %3 bytes\n"
                              "packets: %4\nheader: %5";
        row("inspect a sound image", "flash/kt62-flash --inspect " + m_good, 0,
            facts.arg(m_good, "01.02.03.04", "20584", "21", "ok (0x"), "");
        row("inspect a plain image", "flash/kt62-flash --inspect " + m_renamed, 2,
            facts.arg(m_renamed, "05.05.05.05", "20580", "21", "MISMATCH (header says"),
            "with --force\n");
        const QString none = path("KT62_V00.00.00.01.bin");
        row("inspect an empty file", "flash/kt62-flash --inspect " + none, 2,
            facts.arg(none, "00.00.00.01", "0", "0",
                      "MISMATCH (0 bytes, too short for the 4-byte header)"),
            "the file is empty\n");
        row("simulator's help", "sim/kt62-sim --nak-rate 5 --help", 0,
            "Usage: " + Tool::built("sim/kt62-sim") + " [options]\nA simulated KT62 device", "");
        row("simulator's version", "sim/kt62-sim --version --pace 0", 0,
            "kt62-sim " KT62_VERSION "\n", "");
        row("simulator's bad value", "sim/kt62-sim --nak-rate 5 --seed 1", 2, "",
            "kt62-sim: --nak-rate takes a chance of 0 or more and below 1, not \"5\" (see "
            "--help)\n");
        const QString missing = path("missing/image.bin"), fifo = path("fifo");
        row("simulator saving into a missing folder", "sim/kt62-sim --save " + missing, 2, "",
            "kt62-sim: cannot write " + missing + ": the folder " + path("missing") +
                " does not exist\n");
        row("simulator saving into a FIFO", "sim/kt62-sim --save " + fifo, 2, "",
            "kt62-sim: cannot write " + fifo + ": not a regular file (a FIFO)\n");
    }

    void commandLine()
    {
        QFETCH(QString, line);
        const QStringList words = line.split(' ');
        const Run run(words.mid(1), QString(), words.first());
        QFETCH(QString, out);
        QTEST(run.code, "code");
        QCOMPARE(run.out.left(out.size()), out);
        QCOMPARE(run.out.isEmpty(), out.isEmpty());
        QFETCH(QString, err);
        QCOMPARE(run.err.right(err.size()), err);
        QCOMPARE(run.err.isEmpty(), err.isEmpty());
    }

    void tableIsJudged_data()
    {
        QTest::addColumn<int>("filler"); // plain bytes before the last three
        for (const int filler : {0, 1021, 3000}) {
            QTest::addRow("image of %d bytes", filler + 7) << filler;
        }
    }

    void tableIsJudged() // a file swapped after the load cannot change the verdict
    {
        QFETCH(int, filler);
        QByteArray good = encrypt_image(QByteArray(filler, '\x5a').append("\x01\xfe\x80", 3));
        QByteArray bad = good;
        bad[good.size() - 1] = char(good.at(good.size() - 1) + 1);
        for (const bool loadGood : {true, false}) {
            const QString file = path("KT62_V03.03.03.03.bin");
            QVERIFY(write_file(file, loadGood ? good : bad));
            FlashJob job({JobMode::Upgrade, "port", file});
            QVERIFY(job.prepare());
            QVERIFY(write_file(file, loadGood ? bad : good));
            const FirmwareInspection table = inspect_table(job.engine(), file);
            QCOMPARE(table.header_ok, loadGood);
            QCOMPARE(inspect_firmware(file).header_ok, !loadGood);
            QCOMPARE(table.size, qint64(good.size()));
            QCOMPARE(table.body_sum,
                     byte_sum((loadGood ? good : bad).constData() + 4, good.size() - 4));
        }
    }

    // The device's answer: what a line shows of it (besides the escape sequence and line end an
    // upgrade row shows), and whether it names the image exactly: --skip-same leaves it alone.
    void answerNamesImage_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("named");
        const auto row = [](const char *tag, const QString &answer, const QString &shown,
                            bool named) { QTest::newRow(tag) << answer << shown << named; };
        for (const char *near : {"KT62_V01.02.03.045", "KT62_V01.02.03.04.99", "KT99_V01.02.03.04",
                                 "KT62_X01.02.03.04"}) {
            row(near, near, near, false);
        }
        row("exact", "KT62_V01.02.03.04", "KT62_V01.02.03.04", true);
        row("exact; more fields, tab, DEL", "KT62_V01.02.03.04_b7\t\x7f",
            "KT62_V01.02.03.04_b7\\x09\\x7f", true);
        row("C1 control", QString(QChar(0x9b)) + "2J", "\\x9b2J", false);
        // A backslash is doubled: the text "\x1b" must not read as the control character.
        row("printable kept, backslash doubled", "01.02 版本 \\x1b", "01.02 版本 \\\\x1b", false);
    }

    void answerNamesImage()
    {
        QFETCH(QString, answer);
        QTEST(escape_controls(answer), "shown");
        QTEST(answer_names_image(answer, "KT62", "01.02.03.04"), "named");
    }

    void simulatorLink() // one simulator to a link; a peer gone ends a session served once
    {
        Sim first({"--once", "--pace", "19200", "--verbose"});
        QVERIFY(first.ready());
        const QString pty = QFileInfo(first.link).symLinkTarget();
        const Run second({"--link", first.link}, QString(), "sim/kt62-sim");
        QCOMPARE(second.code, 2);
        QVERIFY2(second.err.contains("is another kt62-sim serving it?"), qPrintable(second.err));
        QCOMPARE(QFileInfo(first.link).symLinkTarget(), pty);
        Tool flash({"--port", first.link, m_good});
        QVERIFY(first.hears("block 1 ok"));
        flash.process.kill();
        QCOMPARE(first.code(), 1);
        QVERIFY(!QFileInfo(first.link).isSymLink());
        Sim next({}, first.link);
        QVERIFY(next.ready() && QFile::remove(next.link) && QFile::link("/dev/null", next.link));
        QCOMPARE(::kill(pid_t(next.process.processId()), SIGTERM), 0);
        QCOMPARE(next.code(), 0);
        QCOMPARE(QFileInfo(next.link).symLinkTarget(), QString("/dev/null"));
    }

    void nodeWatch() // a node's name removed and made again is noticed, however fast; changes not
    {
        NodeWatch board, marker; // the marker's notice bounds the wait for none on the board
        QSignalSpy gone(&board, &NodeWatch::removed), marked(&marker, &NodeWatch::removed);
        const QString node = path("watched"), link = path("watched-link");
        QVERIFY(write_file(node, "") && QFile::link(node, link));
        board.watch({link, node});
        marker.watch({path("marker")});
        // What udev does as it applies its rules: times and mode, through the link and not.
        QVERIFY(::utimensat(AT_FDCWD, qPrintable(link), nullptr, 0) == 0 &&
                ::chmod(qPrintable(node), 0600) == 0);
        QVERIFY(write_file(path("marker"), "") && marked.wait(LIMIT_MS));
        QCOMPARE(gone.count(), 0);
        QVERIFY(QFile::remove(node) && write_file(node, "")); // gone and back before any look
        QVERIFY(gone.wait(LIMIT_MS));
        // A second node of one device, made with its device number, is the same port.
        QVERIFY(same_node("/dev/null", path("node")) && !same_node("/dev/zero", path("node")));
        // A bare name is the system's (one with a "/" is meant from here, as a run shows).
        QCOMPARE(port_to_open("ttyUSB0"), QString("ttyUSB0"));
    }

    // Rates in B/s and KiB/s, time left in m:ss and h:mm:ss; lines, a bar for one port, and
    // several ports' lines redrawn together.
    void showsProgress()
    {
        const auto line = [](qint64 bytes, qint64 ms) {
            return format_progress(int(bytes * 100 / 1146300), bytes, 1146300, ms);
        };
        QCOMPARE(line(500, 1000), QString("  0%  500/1146300 B  500 B/s  38:12 left"));
        QCOMPARE(line(114630, 10000), QString(" 10%  114630/1146300 B  11.2 KiB/s  1:30 left"));
        QCOMPARE(line(100, 1000), QString("  0%  100/1146300 B  100 B/s  3:11:02 left"));
        const QStringList lines =
            written([](FILE *out) {
                ProgressDisplay display(ProgressDisplay::Style::Lines, out, "A: ");
                display.status("Erase finished, begin upgrade...");
                for (int packet = 1; packet <= 21; ++packet) {
                    display.progress(packet * 100 / 21, packet * 1024LL, 21504, 0);
                }
                display.status(""); // shows nothing
            }).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines.first() + '|' + lines.at(1) + '|' + lines.last(),
                 "A: Erase finished, begin upgrade...|A: progress  14%  3072/21504 B|"
                 "A: progress 100%  21504/21504 B");
        const QString bar = written([](FILE *out) {
            ProgressDisplay display(ProgressDisplay::Style::Bar, out);
            display.status("Erasing Chip...");
            display.progress(100, 21504, 21504, 0);
        });
        const QString done = " 100%  21504/21504 B\n";
        QCOMPARE(bar, "Erasing Chip...\n\r" + format_bar(100, 30) + done.chopped(1));
        const QString columns = written([](FILE *out) {
            ParallelDisplay display({"A", "LONG"}, out);
            display.status(1, "Erasing Chip...");
            display.progress(1, 100, 21504, 21504, 0);
            display.status(0, "success");
            display.flush();
        });
        const QString a = "\r\033[KA     ", up = "\033[2A";
        const QString full = "\r\033[KLONG  " + format_bar(100, 20) + done;
        QCOMPARE(columns, a + "\n\r\033[KLONG  Erasing Chip...\n" + up + a + "\n" + full + up + a +
                              "success\n" + full);
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QByteArray m_plain, m_image;
    QString m_good = path(FIRMWARE), m_renamed = path("KT62_V05.05.05.05.bin"); // plain, renamed
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
