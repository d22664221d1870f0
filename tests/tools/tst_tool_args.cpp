// kt62-flash's and kt62-sim's command lines read as data: every usage error with its message,
// and what a good command line of kt62-flash asks for.
#include "tools/flash/flash_args.h"
#include "tools/sim/sim_args.h"

#include <QtTest>

namespace {
using Mode = FlashRequest::Mode;

QString field(const char *name, const QVariant &value) // as name=value; nothing without a value
{
    return value.toString().isEmpty() ? QString() : name + ("=" + value.toString());
}

const auto flag = [](const char *name, bool set) { return set ? QString(name) : QString(); };

// A request in words: each value that is not as in a plain upgrade (30 s to wait for a step,
// 600 s for the erase, no retries), then each flag that is set.
QString describe(const FlashRequest &r)
{
    const auto unusual = [](int value, int usual) {
        return value == usual ? QVariant() : QVariant(value);
    };
    QStringList words;
    words << field("ports", r.ports.join(',')) << field("firmware", r.firmware)
          << field("plain", r.plain) << field("output-dir", r.output_dir)
          << field("report", r.report_path) << field("timeout", unusual(r.timeout_ms, 30000))
          << field("erase-timeout", unusual(r.erase_timeout_ms, 600000))
          << field("retries", unusual(r.retries, 0)) << flag("force", r.force)
          << flag("quiet", r.quiet) << flag("verbose", r.verbose) << flag("json", r.json)
          << flag("skip-same", r.skip_same) << flag("wait", r.wait) << field("history", r.history)
          << field("station", r.station_name)
          << field("since", r.filter.since.toString(Qt::ISODate))
          << field("result", r.filter.result);
    words.removeAll("");
    return words.join(' ');
}

QString bad(const QString &option, const QString &takes, const QString &value) // kt62-sim's
{
    return QString("--%1 takes %2, not \"%3\" (see --help)").arg(option, takes, value);
}

const QString CHANCE = "a chance from 0 to 1";
const QString SEED = "a whole number from 0 to 18446744073709551615";
} // namespace

Q_DECLARE_METATYPE(Mode)

class TestToolArgs : public QObject
{
    Q_OBJECT
private slots:
    void usageErrors_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("lines"); // each giving the message
        QTest::addColumn<QString>("message");
        const auto flash = [](const char *tag, const QStringList &lines, const QString &message) {
            QTest::addRow("kt62-flash: %s", tag)
                << "kt62-flash" << lines << message + "\nTry 'kt62-flash --help'.";
        };
        const auto sim = [](const char *tag, const QStringList &lines, const QString &message) {
            QTest::addRow("kt62-sim: %s", tag) << "kt62-sim" << lines << message;
        };
        flash("nothing to do", {"--force -q --timeout 5 --report r"}, "Nothing to do.");
        flash("unknown option, even with help", {"--help --bogus"}, "Unknown option 'bogus'.");
        flash("missing value", {"--port a f --timeout"}, "Missing value after '--timeout'.");
        flash("commands together", {"--list-ports --encrypt p", "--inspect f --check-version"},
              "--list-ports, --encrypt, --inspect, --check-version and --export exclude each "
              "other.");
        flash("export without the history, or with a run's arguments",
              {"--export csv", "--export csv --history h --port a", "--export json --history h f"},
              "--export takes --history and optionally --since and --result, nothing else.");
        flash("export format", {"--history h --export xml"},
              "--export takes csv or json, not \"xml\"");
        flash("filters without export", {"--port a f --history h --since 2026-12-07"},
              "--since and --result go with --export.");
        flash("history with a command that runs no device", {"--inspect f --history h"},
              "--history records runs of devices; it does not go with --list-ports, --encrypt "
              "or --inspect.");
        flash("encrypt with anything else",
              {"--encrypt p", "--encrypt p --output-dir d f", "--encrypt p --output-dir d --port a",
               "--encrypt p --output-dir d --station"},
              "--encrypt takes a plain image and --output-dir, nothing else.");
        flash("inspect with anything else",
              {"--inspect f g", "--inspect f --port a", "--inspect f --json"},
              "--inspect takes one firmware file, nothing else.");
        // Two ports for a check are refused before their sameness is looked at.
        flash("check without one port", {"--check-version", "--check-version --port a --port a"},
              "Give one --port.");
        flash("port twice",
              {"--port a --port b --port a f", "--port usb:0403:60ab --port USB:0403:60AB f"},
              "Give each --port once.");
        // The file is asked for before the time-out is looked at.
        flash("not one file", {"--port a f g", "--port a --timeout 0", "--station --port a"},
              "Give one firmware file.");
        // The last one counts, for a check too.
        flash("bad time-out",
              {"--port a f --timeout -1", "--port a f --timeout abc", "--port a f --timeout nan",
               "--port a f --timeout 86401", "--port a f --timeout 1 --timeout 0",
               "--check-version --port a --timeout inf"},
              "--timeout takes a number of seconds greater than 0 and at most 86400.");
        flash("bad retries",
              {"--port a f --retries -1", "--port a f --retries 101", "--port a f --retries 1.5"},
              "--retries takes a whole number from 0 to 100.");
        flash("station and check", {"--station --check-version --port a"},
              "--station upgrades; it does not go with --check-version.");
        flash("bad USB identity", {"--port usb:0403:60 f"},
              "bad USB selector \"usb:0403:60\": the product id is not four hex digits; expected "
              "usb:VVVV:PPPP[:SERIAL], as in usb:0403:6001");
        // Each limit is read on its own: a good one never hides the other's fault.
        flash("erase time-out beyond a day", {"--port a f --timeout 5 --erase-timeout 86400.5"},
              "--erase-timeout takes a number of seconds greater than 0 and at most 86400.");
        sim("bad pace, good noise", {"--pace 0 --noise 0.5"},
            bad("pace", "a baud rate above 0", "0"));
        sim("good seed, naks every time", {"--seed 1 --nak-rate 1"},
            bad("nak-rate", "a chance of 0 or more and below 1", "1"));
        sim("noise not a number", {"--noise nan"}, bad("noise", CHANCE, "nan"));
        sim("noise above 1", {"--noise 1.01"}, bad("noise", CHANCE, "1.01"));
        sim("negative erase", {"--erase-ms -1"},
            bad("erase-ms", "a whole number of milliseconds, 0 or more", "-1"));
        sim("silent after a fraction", {"--silent-after 2.5"},
            bad("silent-after", "a number of blocks, 0 or more", "2.5"));
        sim("negative seed", {"--seed -1"}, bad("seed", SEED, "-1"));
        sim("seed beyond 64 bits", {"--seed 18446744073709551616"},
            bad("seed", SEED, "18446744073709551616"));
        sim("argument", {"--once extra"}, "unexpected argument extra");
    }

    void usageErrors()
    {
        QFETCH(QString, tool);
        QFETCH(QString, message);
        QFETCH(QStringList, lines);
        for (const QString &line : lines) {
            const QStringList words = (tool + " " + line).split(' ');
            const QString error =
                tool == "kt62-flash" ? parse_flash_args(words).error : parse_sim_args(words).error;
            QCOMPARE(line + ": " + error, line + ": " + message);
        }
    }

    void requests_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, const QString &arguments, Mode mode,
                            const QString &expected) {
            QTest::newRow(tag) << arguments << mode << expected;
        };
        row("help before any check", "--help --list-ports --encrypt p", Mode::Help, "");
        row("version", "--version", Mode::Version, "");
        row("list ports as JSON", "--list-ports --json --timeout abc --port a f", Mode::ListPorts,
            "json");
        row("encrypt", "--encrypt KT62_01.bin --output-dir out/ -q", Mode::Encrypt,
            "plain=KT62_01.bin output-dir=out/ quiet");
        row("inspect ignores the time-out", "--inspect KT62_V01.bin --timeout 0 --force",
            Mode::Inspect, "firmware=KT62_V01.bin force");
        const QString one = "ports=/dev/ttyUSB0 firmware=KT62_V01.bin";
        row("upgrade", "--port /dev/ttyUSB0 KT62_V01.bin", Mode::Upgrade, one);
        row("three ports in order",
            "--port c --port a KT62_V01.bin --port b --timeout 1.5 --report r.json --force "
            "--verbose",
            Mode::Upgrade,
            "ports=c,a,b firmware=KT62_V01.bin report=r.json timeout=1500 force verbose");
        // Never 0, which would time out at once.
        row("time-out below a millisecond", "--port /dev/ttyUSB0 KT62_V01.bin --timeout 0.0001",
            Mode::Upgrade, one + " timeout=1");
        row("time-outs of a day",
            "--timeout 86400 --erase-timeout 86400 --port /dev/ttyUSB0 KT62_V01.bin", Mode::Upgrade,
            one + " timeout=86400000 erase-timeout=86400000");
        row("station, identity in canonical form",
            "--station --port USB:0403:60AB:Ab:1 --port b --retries 2 --json --skip-same "
            "KT62_V01.bin",
            Mode::Station,
            "ports=usb:0403:60ab:Ab:1,b firmware=KT62_V01.bin retries=2 json skip-same");
        row("wait and the most retries", "--wait --retries 100 --port /dev/ttyUSB0 KT62_V01.bin",
            Mode::Upgrade, one + " retries=100 wait");
        row("check with a file", "--check-version --port a KT62_V01.bin --quiet",
            Mode::CheckVersion, "ports=a firmware=KT62_V01.bin quiet");
        row("station with its history", "--station --port a --history h.db --station-name L3 f",
            Mode::Station, "ports=a firmware=f history=h.db station=L3");
        row("export, filtered", "--history h.db --export json --since 2026-12-07 --result skipped",
            Mode::Export, "history=h.db since=2026-12-07T00:00:00Z result=skipped");
    }

    void requests()
    {
        QFETCH(QString, arguments);
        const FlashArgs args = parse_flash_args(("kt62-flash " + arguments).split(' '));
        QVERIFY2(args.ok(), qPrintable(args.error));
        QTEST(args.request.mode, "mode");
        QTEST(describe(args.request), "expected");
    }
};

QTEST_APPLESS_MAIN(TestToolArgs)
#include "tst_tool_args.moc"
