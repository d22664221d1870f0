// kt62-flash against kt62-sim over ptys: one device or several at once on good and bad
// lines, a mismatched image held back, what --inspect makes of an image, what becomes of the
// command line's verdict, and the progress display (plain lines for logs, per-port lines
// redrawn in place).
#include "firmware/firmware_image.h"
#include "tests/tools/flash_run.h"
#include "tools/flash/progress_display.h"

#include <QRegularExpression>
#include <QtTest>

namespace {
constexpr int IMAGE_SIZE = 20 * 1024 + 100; // the last packet is padded
constexpr int LIMIT_MS = 30000;             // a loaded machine is slow, never this slow
const QString ABSENT = "absent";            // a port with no device behind it

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
} // namespace

class TestFlash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        while (m_plain.size() < IMAGE_SIZE) { // every byte value, in no simple order
            m_plain.append(char(m_plain.size() * 7919 % 257));
        }
        for (const QString &name : {path("KT62_01.02.03.04.bin"), m_renamed}) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_plain) == IMAGE_SIZE);
        }
        const Run encrypt({"--encrypt", path("KT62_01.02.03.04.bin"), "--output-dir",
                           m_dir.path() + "/"}); // the trailing "/" is not doubled
        m_good = path("KT62_V01.02.03.04.bin");
        QCOMPARE(encrypt.out, m_good + "\n");
        const QByteArray image = read_file(m_good);
        QVERIFY(checksum_header_matches(image));
        QCOMPARE(decrypt_body(image.mid(ENCRYPT_HEADER_SIZE)), m_plain);
        QVERIFY(image.mid(ENCRYPT_HEADER_SIZE, 4) != m_plain.left(4)); // the key word is applied
        QFile truncated(path("KT62_V02.02.02.02.bin")), empty(path("KT62_V00.00.00.01.bin"));
        QVERIFY(truncated.open(QIODevice::WriteOnly) && truncated.write(image.chopped(100)) > 0);
        QVERIFY(empty.open(QIODevice::WriteOnly));
    }

    void upgrade_data()
    {
        QTest::addColumn<QList<QStringList>>("devices"); // simulator flags, or ABSENT
        QTest::addColumn<QStringList>("flags");          // of kt62-flash, the firmware last
        QTest::addColumn<QVector<int>>("codes");         // per port
        QTest::addColumn<int>("exit_code");
        using Devices = QList<QStringList>;
        const QStringList good{m_good};
        QTest::newRow("one device") << Devices{{}} << good << QVector<int>{0} << 0;
        QTest::newRow("four devices")
            << Devices{{}, {}, {}, {}} << good << QVector<int>{0, 0, 0, 0} << 0;
        // The worst code wins; the good lines still upgrade beside the bad ones.
        QTest::newRow("faults side by side")
            << Devices{{"--chunk-split", "--noise", "0.5", "--seed", "9"},
                       {"--nak-rate", "0.3", "--seed", "10"},
                       {"--fail-result"},
                       {"--silent-after", "3"},
                       {"--exit-after", "3"},
                       {ABSENT}}
            << good << QVector<int>{0, 0, 1, 4, 3, 3} << 4;
        QTest::newRow("mismatched header held back")
            << Devices{{}} << QStringList{m_renamed} << QVector<int>{2} << 2;
        QTest::newRow("mismatched header sent with --force")
            << Devices{{}} << QStringList{"--force", m_renamed} << QVector<int>{1} << 1;
        QTest::newRow("versions of device and file")
            << Devices{{}} << QStringList{"--check-version", m_good} << QVector<int>{0} << 0;
    }

    void upgrade()
    {
        QFETCH(QList<QStringList>, devices);
        QFETCH(QStringList, flags);
        QFETCH(QVector<int>, codes);
        QFETCH(int, exit_code);
        std::vector<std::unique_ptr<Sim>> sims;
        QStringList arguments = QStringList{"--timeout", "1.5", "--report", path("report.json")};
        for (const QStringList &device : devices) {
            sims.push_back(device == QStringList(ABSENT) ? nullptr : std::make_unique<Sim>(device));
            QVERIFY(!sims.back() ||
                    QTest::qWaitFor([&] { return QFile::exists(sims.back()->port()); }, LIMIT_MS));
            arguments << "--port" << (sims.back() ? sims.back()->port() : path(ABSENT));
        }
        const Run run(arguments + flags);
        QCOMPARE(run.code, exit_code);
        QCOMPARE(report(path("report.json")).value("exit_code").toInt(-1), exit_code);
        const bool check = flags.contains("--check-version");
        const QString versions = "Current version: 01.00.00.00\nTarget version: 01.02.03.04\n";
        QCOMPARE(run.out, check ? versions : QString());
        for (int i = 0; i < codes.size(); ++i) {
            const QJsonObject entry = report(path("report.json"), i);
            QCOMPARE(entry.value("exit_code").toInt(-1), codes.at(i));
            // With several ports every line of a port starts with the port.
            const QString prefix = devices.size() > 1 ? entry.value("port").toString() + ": " : "";
            QCOMPARE(run.err.contains(prefix + "Upgrade finished!\n"), codes.at(i) == 0 && !check);
            QCOMPARE(run.err.contains("kt62-flash: " + prefix), codes.at(i) != 0);
            if (codes.at(i) == 2) { // the device heard nothing, not even the start sequence
                QCOMPARE(sims[i]->events(), QStringList());
            }
            // Silent: not before the first query's second (5 % early at worst) and 1.5 s more.
            const double total = entry.value("phases").toObject().value("total").toDouble();
            QVERIFY(codes.at(i) != 4 || total >= 0.95 + 1.5);
            // A run that got a result went through the erase and the transfer to the completion;
            // one cut off mid-transfer (silent, unplugged) reached the transfer only.
            const QJsonObject phases = entry.value("phases").toObject();
            const bool cut =
                devices[i].contains("--silent-after") || devices[i].contains("--exit-after");
            const bool transfer = !check && (codes.at(i) <= 1 || cut);
            QCOMPARE(phases.value("erase").isDouble(), transfer);
            QCOMPARE(phases.value("transfer").isDouble(), transfer);
            QCOMPARE(phases.value("completion").isDouble(), !check && codes.at(i) <= 1);
            if (codes.at(i) != 0) {
                continue;
            }
            QVERIFY(sims[i]->process.waitForFinished(LIMIT_MS) && sims[i]->process.exitCode() == 0);
            const QStringList events = sims[i]->events();
            if (check) { // the query names the file's version; the check erases nothing
                QVERIFY(events.contains("query \"01.02.03.04\"") &&
                        events.filter("erase").isEmpty());
                continue;
            }
            QVERIFY(read_file(sims[i]->dir.filePath("saved")) == m_plain);
            // Every block the device asked for again was sent again, only those.
            const QRegularExpression again("transfer: .* (\\d+) asked again");
            const int repeats = again.match(events.join('\n')).captured(1).toInt(); // 0 if none
            QCOMPARE(entry.value("repeats").toInt(), repeats);
            QVERIFY(repeats > 0 || !devices[i].contains("--nak-rate"));
        }
    }

    void inspect_data()
    {
        QTest::addColumn<QString>("facts"); // of the file named by the row: model/version/size/
                                            // packets/header
        QTest::newRow("KT62_V01.02.03.04.bin") << "KT62/01.02.03.04/20584/21/ok (0x";
        QTest::newRow("KT62_V05.05.05.05.bin") << "KT62/05.05.05.05/20580/21/MISMATCH (header says";
        QTest::newRow("KT62_V02.02.02.02.bin") << "KT62/02.02.02.02/20484/21/MISMATCH (header says";
        QTest::newRow("KT62_V00.00.00.01.bin")
            << "KT62/00.00.00.01/0/0/MISMATCH (0 bytes, too short for the 4-byte header)";
    }

    void inspect() // encrypted, plain renamed, truncated and empty
    {
        QFETCH(QString, facts);
        const QString file = path(QTest::currentDataTag());
        const Run run({"--inspect", file});
        const QStringList f = facts.split('/');
        const QString expected = QString("file: %1\nmodel: %2\ntarget version: %3\nsize: %4 bytes\n"
                                         "packets: %5\nheader: %6")
                                     .arg(file, f[0], f[1], f[2], f[3], f[4]);
        QVERIFY2(run.out.startsWith(expected), qPrintable(run.out));
        // 0 only for an image an upgrade would send; otherwise the reason.
        QCOMPARE(run.code, f[4].startsWith("ok") ? 0 : 2);
        QCOMPARE(run.err.isEmpty(), run.code == 0);
    }

    void commandLine_data() // the parser's verdict on the streams, with its exit code
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("usage error") << QStringList{"--port", "a"} << 2 << ""
                                     << "kt62-flash: Give one firmware file.\n"
                                        "Try 'kt62-flash --help'.\n";
        QTest::newRow("version") << QStringList{"-v"} << 0 << "kt62-flash " KT62_VERSION "\n"
                                 << "";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, code);
        const Run run(arguments);
        QCOMPARE(run.code, code);
        QTEST(run.out, "out");
        QTEST(run.err, "err");
    }

    void help() // whole, on standard output, named as the program was started
    {
        const Run help({"--list-ports", "--help"});
        QCOMPARE(help.code, 0);
        QCOMPARE(help.err, QString());
        const QString program = qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash";
        QVERIFY2(help.out.startsWith("Usage: " + program +
                                     " [options] FIRMWARE\n"
                                     "Upgrades the firmware of KT62 devices"),
                 qPrintable(help.out));
        QVERIFY(
            help.out.contains("\n  -q, --quiet                Print errors and answers only.\n"));
        QVERIFY(help.out.endsWith("such as\n" + QString(29, ' ') + "KT62_V01.02.03.04.bin.\n"));
    }

    void formatsProgress() // rates in B/s and KiB/s; time left in m:ss and h:mm:ss
    {
        const auto line = [](qint64 bytes, qint64 ms) {
            return format_progress(int(bytes * 100 / 1146300), bytes, 1146300, ms);
        };
        QCOMPARE(line(500, 1000), QString("  0%  500/1146300 B  500 B/s  38:12 left"));
        QCOMPARE(line(114630, 10000), QString(" 10%  114630/1146300 B  11.2 KiB/s  1:30 left"));
        QCOMPARE(line(100, 1000), QString("  0%  100/1146300 B  100 B/s  3:11:02 left"));
    }

    void drawsLines()
    {
        const QStringList lines =
            written([](FILE *out) {
                ProgressDisplay display(ProgressDisplay::Style::Lines, out, "A: ");
                display.status("Erase finished, begin upgrade...");
                for (int packet = 1; packet <= 21; ++packet) {
                    display.progress(packet * 100 / 21, packet * 1024LL, 21504, 0);
                }
                display.status(""); // shows nothing
            }).split('\n', Qt::SkipEmptyParts);
        // One line as each tenth is passed: 14% is the first, 100% the last.
        QCOMPARE(lines.size(), 11);
        QCOMPARE(lines.first(), QString("A: Erase finished, begin upgrade..."));
        QCOMPARE(lines.at(1), QString("A: progress  14%  3072/21504 B"));
        QCOMPARE(lines.last(), QString("A: progress 100%  21504/21504 B"));
        // Several ports on a terminal: drawn twice, the second time two lines up.
        const QString text = written([](FILE *out) {
            ParallelDisplay display({"ttyA", "ttyLONG"}, out);
            display.status(0, "Erasing Chip...");
            display.progress(1, 100, 21504, 21504, 0); // the end is drawn at once
        });
        const QString a = "\r\033[KttyA     Erasing Chip...\n";
        QCOMPARE(text, a + "\r\033[KttyLONG  \n\033[2A" + a + "\r\033[KttyLONG  " +
                           format_bar(100, 20) + " 100%  21504/21504 B\n");
    }

    void drawsRun_data() // one port, or several on plain lines, or redrawn together on a terminal
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("expected");
        const int bar = int(ProgressDisplay::Style::Bar),
                  lines = int(ProgressDisplay::Style::Lines);
        QTest::newRow("one port") << bar << QStringList{"A"} << "Erasing Chip...\n";
        QTest::newRow("plain lines") << lines << QStringList{"A", "B"} << "B: Erasing Chip...\n";
        QTest::newRow("quiet") << int(ProgressDisplay::Style::Quiet) << QStringList{"A", "B"} << "";
        // The result goes on its port's line only where the lines are redrawn.
        const QString b = "\r\033[KB  Erasing Chip...\n";
        QTest::newRow("terminal") << bar << QStringList{"A", "B"}
                                  << "\r\033[KA  \n" + b + "\033[2A\r\033[KA  success\n" + b;
    }

    void drawsRun()
    {
        QFETCH(int, style);
        QFETCH(QStringList, ports);
        const QString text = written([&](FILE *out) {
            RunDisplay display(ports, ProgressDisplay::Style(style), out);
            display.status(int(ports.size()) - 1, "Erasing Chip...");
            display.result(0, "success");
            display.end();
        });
        QTEST(text, "expected");
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QByteArray m_plain;
    QString m_good, m_renamed = path("KT62_V05.05.05.05.bin"); // a plain image, named encrypted
};

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
