// kt62-flash's command line read as data: every usage error with its message, and what a
// good command line asks for. Run without an application object, as the parser needs none.
#include "tools/flash/flash_args.h"

#include <QtTest>

namespace {
using Mode = FlashRequest::Mode;

// What a good command line should yield, compared field by field.
struct Expected
{
    Expected() = default;
    explicit Expected(Mode mode, const QStringList &ports = {}, const QString &firmware = {})
        : mode(mode), ports(ports), firmware(firmware)
    {}

    Mode mode = Mode::Upgrade;
    QStringList ports;
    QString firmware, plain, output_dir, report_path;
    int timeout_ms = 30000, erase_timeout_ms = 600000, retries = 0;
    bool force = false, quiet = false, verbose = false, json = false, skip_same = false,
         wait = false;
};

QStringList command(const QString &arguments) // split at spaces, argv[0] first
{
    return QStringList{"kt62-flash"} + arguments.split(' ', Qt::SkipEmptyParts);
}
} // namespace

Q_DECLARE_METATYPE(Expected)

class TestFlashArgs : public QObject
{
    Q_OBJECT
private slots:
    void usageErrors_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("message"); // before the line that points to --help
        const QString exclusive =
            "--list-ports, --encrypt, --inspect and --check-version exclude each other.";
        const QString encrypt = "--encrypt takes a plain image and --output-dir, nothing else.";
        const QString inspect = "--inspect takes one firmware file, nothing else.";
        const QString timeout = "--timeout takes a number of seconds greater than 0 and at most "
                                "86400.";
        QTest::newRow("nothing") << ""
                                 << "Nothing to do.";
        QTest::newRow("flags only") << "--force -q --timeout 5 --report r"
                                    << "Nothing to do.";
        QTest::newRow("unknown option") << "--bogus"
                                        << "Unknown option 'bogus'.";
        QTest::newRow("help does not excuse an unknown option") << "--help --bogus"
                                                                << "Unknown option 'bogus'.";
        QTest::newRow("missing value") << "--port a f --timeout"
                                       << "Missing value after '--timeout'.";
        QTest::newRow("list and encrypt") << "--list-ports --encrypt p" << exclusive;
        QTest::newRow("inspect and check") << "--inspect f --check-version" << exclusive;
        QTest::newRow("encrypt without folder") << "--encrypt p" << encrypt;
        QTest::newRow("encrypt with a file") << "--encrypt p --output-dir d f" << encrypt;
        QTest::newRow("encrypt with a port") << "--encrypt p --output-dir d --port a" << encrypt;
        QTest::newRow("inspect with a file") << "--inspect f g" << inspect;
        QTest::newRow("inspect with a port") << "--inspect f --port a" << inspect;
        QTest::newRow("upgrade without port") << "f"
                                              << "Give at least one --port.";
        QTest::newRow("check without port") << "--check-version"
                                            << "Give one --port.";
        // Two ports for a check are refused before their sameness is looked at.
        QTest::newRow("check on two ports") << "--check-version --port a --port a"
                                            << "Give one --port.";
        QTest::newRow("port twice") << "--port a --port b --port a f"
                                    << "Give each --port once.";
        QTest::newRow("upgrade without file") << "--port a"
                                              << "Give one firmware file.";
        QTest::newRow("upgrade with two files") << "--port a f g"
                                                << "Give one firmware file.";
        QTest::newRow("check with two files") << "--check-version --port a f g"
                                              << "Give at most one firmware file.";
        // The file is asked for before the time-out is looked at.
        QTest::newRow("no file, bad time-out") << "--port a --timeout 0"
                                               << "Give one firmware file.";
        QTest::newRow("time-out 0") << "--port a f --timeout 0" << timeout;
        QTest::newRow("time-out negative") << "--port a f --timeout -1" << timeout;
        QTest::newRow("time-out not a number") << "--port a f --timeout abc" << timeout;
        QTest::newRow("time-out nan") << "--port a f --timeout nan" << timeout;
        QTest::newRow("time-out beyond a day") << "--port a f --timeout 86401" << timeout;
        QTest::newRow("last time-out counts") << "--port a f --timeout 1 --timeout 0" << timeout;
        QTest::newRow("check time-out") << "--check-version --port a --timeout inf" << timeout;
        const QString retries = "--retries takes a whole number from 0 to 100.";
        QTest::newRow("retries negative") << "--port a f --retries -1" << retries;
        QTest::newRow("retries beyond the limit") << "--port a f --retries 101" << retries;
        QTest::newRow("retries not whole") << "--port a f --retries 1.5" << retries;
        QTest::newRow("station and check") << "--station --check-version --port a"
                                           << "--station upgrades; it does not go with "
                                              "--check-version.";
        QTest::newRow("station without file") << "--station --port a"
                                              << "Give one firmware file.";
        QTest::newRow("json with inspect") << "--inspect f --json" << inspect;
        QTest::newRow("station with encrypt") << "--encrypt p --output-dir d --station" << encrypt;
        QTest::newRow("bad USB identity")
            << "--port usb:0403:60 f"
            << "bad USB selector \"usb:0403:60\": the product id is not four hex digits; "
               "expected usb:VVVV:PPPP[:SERIAL], as in usb:0403:6001";
        // One identity in two spellings is one port.
        QTest::newRow("USB identity twice") << "--port usb:0403:60ab --port USB:0403:60AB f"
                                            << "Give each --port once.";
        // Each limit is read on its own: a good one never hides the other's fault.
        QTest::newRow("erase time-out beyond a day")
            << "--port a f --timeout 5 --erase-timeout 86400.5"
            << "--erase-timeout takes a number of seconds greater than 0 and at most 86400.";
    }

    void usageErrors()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        const FlashArgs args = parse_flash_args(command(arguments));
        QVERIFY(!args.ok());
        QCOMPARE(args.error, message + "\nTry 'kt62-flash --help'.");
    }

    void requests_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<Expected>("expected");
        Expected help{Mode::Help}, version{Mode::Version}, list{Mode::ListPorts};
        QTest::newRow("help") << "-h" << help;
        QTest::newRow("help before any check") << "--help --list-ports --encrypt p" << help;
        QTest::newRow("version") << "--version" << version;
        QTest::newRow("-v is the version") << "-qv" << version;
        // Listing the ports looks at nothing else.
        QTest::newRow("list ports") << "--list-ports --timeout abc --port a f" << list;

        Expected encrypt{Mode::Encrypt};
        encrypt.plain = "KT62_01.bin", encrypt.output_dir = "out/", encrypt.quiet = true;
        QTest::newRow("encrypt") << "--encrypt KT62_01.bin --output-dir out/ -q" << encrypt;
        Expected inspect{Mode::Inspect};
        inspect.firmware = "KT62_V01.bin", inspect.force = true;
        QTest::newRow("inspect ignores the time-out")
            << "--inspect KT62_V01.bin --timeout 0 --force" << inspect;

        Expected one{Mode::Upgrade, {"/dev/ttyUSB0"}, "KT62_V01.bin"};
        QTest::newRow("upgrade") << "--port /dev/ttyUSB0 KT62_V01.bin" << one;
        Expected three{Mode::Upgrade, {"c", "a", "b"}, "KT62_V01.bin"};
        three.timeout_ms = 1500, three.report_path = "r.json";
        three.force = true, three.verbose = true;
        QTest::newRow("three ports in order")
            << "--port c --port a KT62_V01.bin --port b --timeout 1.5 --report r.json --force "
               "--verbose"
            << three;
        Expected shortest = one;
        shortest.timeout_ms = 1; // never 0, which would time out at once
        QTest::newRow("time-out below a millisecond")
            << "--port /dev/ttyUSB0 KT62_V01.bin --timeout 0.0001" << shortest;
        Expected day = one;
        day.timeout_ms = day.erase_timeout_ms = 86400000;
        QTest::newRow("time-outs of a day")
            << "--timeout 86400 --erase-timeout 86400 --port /dev/ttyUSB0 KT62_V01.bin" << day;

        Expected station{Mode::Station, {"usb:0403:60ab:Ab:1", "b"}, "KT62_V01.bin"};
        station.retries = 2, station.json = true, station.skip_same = true;
        QTest::newRow("station, identity in canonical form")
            << "--station --port USB:0403:60AB:Ab:1 --port b --retries 2 --json --skip-same "
               "KT62_V01.bin"
            << station;
        Expected waiting = one;
        waiting.wait = true, waiting.retries = 100;
        QTest::newRow("wait and the most retries")
            << "--wait --retries 100 --port /dev/ttyUSB0 KT62_V01.bin" << waiting;
        Expected listJson{Mode::ListPorts};
        listJson.json = true;
        QTest::newRow("list ports as JSON") << "--list-ports --json" << listJson;

        Expected check{Mode::CheckVersion, {"a"}};
        QTest::newRow("check") << "--check-version --port a" << check;
        Expected checkFile{Mode::CheckVersion, {"a"}, "KT62_V01.bin"};
        checkFile.quiet = true;
        QTest::newRow("check with a file")
            << "--check-version --port a KT62_V01.bin --quiet" << checkFile;
    }

    void requests()
    {
        QFETCH(QString, arguments);
        QFETCH(Expected, expected);
        const FlashArgs args = parse_flash_args(command(arguments));
        QVERIFY2(args.ok(), qPrintable(args.error));
        const FlashRequest &request = args.request;
        QCOMPARE(request.mode, expected.mode);
        QCOMPARE(request.ports, expected.ports);
        QCOMPARE(request.firmware, expected.firmware);
        QCOMPARE(request.plain, expected.plain);
        QCOMPARE(request.output_dir, expected.output_dir);
        QCOMPARE(request.report_path, expected.report_path);
        QCOMPARE(request.timeout_ms, expected.timeout_ms);
        QCOMPARE(request.erase_timeout_ms, expected.erase_timeout_ms);
        QCOMPARE(request.force, expected.force);
        QCOMPARE(request.quiet, expected.quiet);
        QCOMPARE(request.verbose, expected.verbose);
        QCOMPARE(request.json, expected.json);
        QCOMPARE(request.retries, expected.retries);
        QCOMPARE(request.skip_same, expected.skip_same);
        QCOMPARE(request.wait, expected.wait);
    }
};

QTEST_APPLESS_MAIN(TestFlashArgs)
#include "tst_flash_args.moc"
