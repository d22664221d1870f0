#include "tools/flash/flash_args.h"

#include "common/units.h"
#include "serial/port_select.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <utility>

namespace {
// QTimer takes an int of milliseconds.
constexpr double MAX_TIMEOUT_S = 24.0 * 3600.0;

const char PROGRAM[] = "kt62-flash";

const char DESCRIPTION[] =
    "Upgrades the firmware of KT62 devices over serial ports, without a display.\n"
    "\n"
    "  kt62-flash --port PORT [--port PORT ...] FIRMWARE\n"
    "                                             upgrade the devices, all at once\n"
    "  kt62-flash --station --port PORT [--port PORT ...] FIRMWARE\n"
    "                                             upgrade board after board as they are\n"
    "                                             plugged in, until SIGINT or SIGTERM\n"
    "  kt62-flash --check-version --port PORT [FIRMWARE]\n"
    "                                             show the device's version (and FIRMWARE's)\n"
    "  kt62-flash --inspect FIRMWARE              check an image without sending it\n"
    "  kt62-flash --encrypt PLAIN --output-dir DIR  write the encrypted firmware file\n"
    "  kt62-flash --list-ports [--json]           list the serial ports and what is known\n"
    "                                             of them (USB ids, serial number)\n"
    "  kt62-flash --history TARGET --export csv|json [--since DATE] [--result R]\n"
    "                                             print the board history's rows\n"
    "\n"
    "PORT is a name (ttyUSB0, COM3), a path, or usb:VVVV:PPPP[:SERIAL]: the one port\n"
    "whose USB adapter has that vendor and product id (hex) and serial number.\n"
    "\n"
    "Before an upgrade the image's 4-byte checksum header must match its body;\n"
    "otherwise nothing is sent (exit code 2) unless --force is given. --inspect\n"
    "prints, one per line: \"file: \", \"model: \", \"target version: \", \"size: N bytes\",\n"
    "\"packets: N\" and \"header: ok (0xSUM)\" or \"header: MISMATCH (why)\"; its exit code\n"
    "is 0 when an upgrade would send the image, 2 when it would refuse it.\n"
    "\n"
    "With several ports each device has its own channel; on a terminal one line per\n"
    "port is redrawn in place, otherwise every line starts with the port. --report\n"
    "holds {\"exit_code\": N, \"ports\": [one entry per port]}; a station's holds\n"
    "{\"exit_code\": N, \"summary\": {...}, \"devices\": [one entry per board]}; a run\n"
    "refused before anything was sent (bad usage too) writes its exit code and\n"
    "\"message\". The report, --encrypt's output and kt62-sim's --save may be a new\n"
    "file or replace a regular file, never a device, FIFO, socket or folder.\n"
    "\n"
    "With --json standard output carries only JSON Lines, one object per event\n"
    "(\"start\", \"phase\", \"progress\", \"result\"; a station adds \"device\" and\n"
    "\"summary\"), each with \"event\", \"port\" and \"t\" (seconds since the run began).\n"
    "A reader that goes away stops the events only; the run goes on to its end.\n"
    "\n"
    "--history records every board (or port run) as one row in TARGET: an SQLite file\n"
    "(made when missing) or postgresql://user@host[:port]/db (password from PGPASSWORD\n"
    "or ~/.pgpass). A row is written before its board is touched and completed when\n"
    "it ends. A history that cannot be opened or written refuses the run (exit code\n"
    "2); one that fails during the run takes no new board, lets the boards in\n"
    "progress finish, keeps their rows in a JSON Lines file it names and exits 6.\n"
    "--export prints the rows as CSV (RFC 4180, a header line) or JSON Lines;\n"
    "--since (UTC: 2026-12-07 or 2026-12-07T10:30) and --result filter them.\n"
    "\n"
    "A station waits on each port for a board, upgrades it, and waits until the\n"
    "board is unplugged (its node is removed or made anew; a node changed in place\n"
    "is the same board) before it waits for the next one; a port that never\n"
    "disappears (a fixed RS-232 port) does not suit it. SIGINT or SIGTERM ends it\n"
    "with a summary (boards served, succeeded, failed, skipped).\n"
    "\n"
    "--timeout is the longest wait for the next step of progress: the answer to the\n"
    "first query, the first block asked for after the erase, a new highest count\n"
    "of blocks acknowledged, the result after the end of transmission. Only a step\n"
    "not reached before counts: bytes that advance nothing (noise, repeated NAKs,\n"
    "\"C\", text) and steps taken again do not. A block counts as acknowledged only\n"
    "when it had left kt62-flash as its ACK was read. The first erase has its own\n"
    "limit, --erase-timeout. SIGINT, SIGTERM and SIGHUP stop every run (nothing more\n"
    "is sent), write the report and exit with 128 + the signal's number.\n"
    "\n"
    "Exit codes (with several ports: 0 only when every port succeeded, otherwise\n"
    "the highest code among the ports; a station: among its boards):\n"
    "  0  upgrade finished (the device reported success after the whole image was\n"
    "     acknowledged, or --skip-same left a device on the image's version alone), or\n"
    "     the command succeeded\n"
    "  1  the device reported failure, or success before receiving the image\n"
    "  2  bad usage or bad input (missing, unreadable, wrongly named, empty or oversize\n"
    "     firmware, a checksum header that does not match, one device named twice,\n"
    "     a report that would replace an input or no regular file, a USB identity\n"
    "     that matches several ports or none); nothing was sent\n"
    "  3  the port could not be opened (no such port, permission denied, in use by\n"
    "     another program) or was lost\n"
    "  4  time-out: no progress for --timeout seconds, or no end of the erase within\n"
    "     --erase-timeout seconds (the device may be erased: upgrade it again)\n"
    "  5  the run succeeded but its report could not be written\n"
    "  6  the history failed during the run (its rows are kept in a file it names)\n"
    "  128+N  stopped by signal N (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP)";

const char TRY_HELP[] = "\nTry 'kt62-flash --help'.";

// Every option, in the order --help lists them after its own two. A new
// option goes here, into add_options() and into the request.
struct FlashOptions
{
    QCommandLineOption port{"port",
                            "Serial port of a device (a name, a path or "
                            "usb:VVVV:PPPP[:SERIAL]); repeat it to upgrade several devices at "
                            "once.",
                            "PORT"};
    QCommandLineOption check_version{"check-version", "Show the device's current version."};
    QCommandLineOption inspect{"inspect", "Check the image FILE and print what it holds.", "FILE"};
    QCommandLineOption encrypt{"encrypt", "Encrypt the plain image PLAIN.", "PLAIN"};
    QCommandLineOption output_dir{"output-dir", "Directory for the encrypted file.", "DIR"};
    QCommandLineOption list_ports{"list-ports", "List the serial ports with their description, "
                                                "manufacturer, USB ids and serial number."};
    QCommandLineOption station{"station",
                               "Upgrade board after board as they are plugged in, until SIGINT "
                               "or SIGTERM."};
    QCommandLineOption timeout{"timeout",
                               "Give up when the device makes no progress for this long "
                               "(default 30).",
                               "SECONDS", "30"};
    QCommandLineOption erase_timeout{"erase-timeout",
                                     "Give up when the erase has not ended after this long "
                                     "(default 600).",
                                     "SECONDS", "600"};
    QCommandLineOption retries{"retries",
                               "Run a port again after exit code 1, 3 or 4, up to N more times "
                               "(default 0).",
                               "N", "0"};
    QCommandLineOption wait{"wait", "Wait up to --timeout for each port to appear."};
    QCommandLineOption skip_same{"skip-same",
                                 "Leave a device alone that already runs the image's version: "
                                 "its answer's first \"_\" field is the image's model, its "
                                 "second \"V\" and the version, exactly."};
    QCommandLineOption json{"json", "Print events as JSON Lines on standard output (with "
                                    "--list-ports: one JSON array)."};
    QCommandLineOption report{"report", "Write a JSON report of the run (every port) to FILE.",
                              "FILE"};
    QCommandLineOption history{"history",
                               "Record every board in the history TARGET (an SQLite file or a "
                               "postgresql:// URL).",
                               "TARGET"};
    QCommandLineOption station_name{
        "station-name", "The station's name in the history (default: the host name).", "NAME"};
    QCommandLineOption export_rows{
        "export", "Print the history's rows as csv or json (JSON Lines).", "FORMAT"};
    QCommandLineOption since{"since", "With --export: the rows started at or after DATE (UTC).",
                             "DATE"};
    QCommandLineOption result{"result", "With --export: the rows with this result.", "RESULT"};
    QCommandLineOption force{"force", "Send an image whose checksum header does not match."};
    QCommandLineOption quiet{QStringList{"q", "quiet"}, "Print errors and answers only."};
    QCommandLineOption verbose{"verbose", "Print the protocol trace (every frame in hex)."};
};

void add_options(QCommandLineParser &parser, const FlashOptions &o)
{
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({o.port,         o.check_version, o.inspect, o.encrypt,       o.output_dir,
                       o.list_ports,   o.station,       o.timeout, o.erase_timeout, o.retries,
                       o.wait,         o.skip_same,     o.report,  o.json,          o.history,
                       o.station_name, o.export_rows,   o.since,   o.result,        o.force,
                       o.quiet,        o.verbose});
    parser.addPositionalArgument("FIRMWARE", "Encrypted firmware file, such as "
                                             "KT62_V01.02.03.04.bin.");
}

bool parse_timeout(const QString &text, int *timeout_ms)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0.0) || seconds > MAX_TIMEOUT_S) {
        return false;
    }
    *timeout_ms = qMax(1, int(seconds * MS_PER_SECOND));
    return true;
}

bool parse_retries(const QString &text, int *retries)
{
    bool ok = false;
    const int count = text.toInt(&ok);
    if (!ok || count < 0 || count > FlashRequest::MAX_RETRIES) {
        return false;
    }
    *retries = count;
    return true;
}

// A USB identity is kept in its canonical form, so that two spellings of
// one identity count as the same port. Returns the error of a malformed one.
QString canonical_ports(QStringList *ports)
{
    for (QString &port : *ports) {
        if (!is_usb_selector(port)) {
            continue;
        }
        const UsbSelectorParse parse = parse_usb_selector(port);
        if (!parse.selector) {
            return parse.error;
        }
        port = parse.selector->text();
    }
    return QString();
}

// The flags every command reads the same way; checking them is the
// commands' business.
void read_flags(const QCommandLineParser &parser, const FlashOptions &o, FlashRequest *request)
{
    request->plain = parser.value(o.encrypt);
    request->output_dir = parser.value(o.output_dir);
    request->report_path = parser.value(o.report);
    request->force = parser.isSet(o.force);
    request->quiet = parser.isSet(o.quiet);
    request->verbose = parser.isSet(o.verbose);
    request->json = parser.isSet(o.json);
    request->skip_same = parser.isSet(o.skip_same);
    request->wait = parser.isSet(o.wait);
    request->history = parser.value(o.history);
    request->station_name = parser.value(o.station_name);
}

// --export: the history's rows, filtered. Returns the usage error, or an
// empty text.
QString read_export(const QCommandLineParser &parser, const FlashOptions &o, FlashRequest *request)
{
    request->mode = FlashRequest::Mode::Export;
    if (!parser.isSet(o.history) || parser.isSet(o.port) ||
        !parser.positionalArguments().isEmpty() || parser.isSet(o.json)) {
        return QStringLiteral("--export takes --history and optionally --since and --result, "
                              "nothing else.");
    }
    QString error;
    if (!parse_export_format(parser.value(o.export_rows), &request->export_format, &error) ||
        (parser.isSet(o.since) &&
         !parse_since(parser.value(o.since), &request->filter.since, &error))) {
        return error;
    }
    request->filter.result = parser.value(o.result);
    return QString();
}

// An upgrade or a version check: the ports, the image and the time-out.
// Returns the usage error, or an empty text.
QString read_run(const QCommandLineParser &parser, const FlashOptions &o, FlashRequest *request)
{
    const bool check = parser.isSet(o.check_version);
    if (check && parser.isSet(o.station)) {
        return QStringLiteral("--station upgrades; it does not go with --check-version.");
    }
    request->mode = check                     ? FlashRequest::Mode::CheckVersion
                    : parser.isSet(o.station) ? FlashRequest::Mode::Station
                                              : FlashRequest::Mode::Upgrade;
    const QStringList files = parser.positionalArguments();
    if (!parser.isSet(o.port) && files.isEmpty() && !check) {
        return QStringLiteral("Nothing to do.");
    }
    request->ports = parser.values(o.port);
    if (request->ports.isEmpty() || (request->ports.size() > 1 && check)) {
        return check ? QStringLiteral("Give one --port.")
                     : QStringLiteral("Give at least one --port.");
    }
    const QString malformed = canonical_ports(&request->ports);
    if (!malformed.isEmpty()) {
        return malformed;
    }
    if (request->ports.removeDuplicates() > 0) {
        return QStringLiteral("Give each --port once.");
    }
    if (files.size() > 1 || (!check && files.isEmpty())) {
        return check ? QStringLiteral("Give at most one firmware file.")
                     : QStringLiteral("Give one firmware file.");
    }
    request->firmware = files.value(0);
    for (const auto &limit : {std::make_pair(&o.timeout, &request->timeout_ms),
                              std::make_pair(&o.erase_timeout, &request->erase_timeout_ms)}) {
        if (!parse_timeout(parser.value(*limit.first), limit.second)) {
            return QStringLiteral("--%1 takes a number of seconds greater than 0 and at most %2.")
                .arg(limit.first->names().constFirst())
                .arg(MAX_TIMEOUT_S);
        }
    }
    if (!parse_retries(parser.value(o.retries), &request->retries)) {
        return QStringLiteral("--retries takes a whole number from 0 to %1.")
            .arg(FlashRequest::MAX_RETRIES);
    }
    return QString();
}

// Picks the command and checks that it got what it takes. Returns the
// usage error, or an empty text.
QString read_mode(const QCommandLineParser &parser, const FlashOptions &o, FlashRequest *request)
{
    const bool files = !parser.positionalArguments().isEmpty();
    // Both change what the command is or what standard output carries.
    const bool run_only = parser.isSet(o.json) || parser.isSet(o.station);
    const int modes = int(parser.isSet(o.list_ports)) + int(parser.isSet(o.encrypt)) +
                      int(parser.isSet(o.check_version)) + int(parser.isSet(o.inspect)) +
                      int(parser.isSet(o.export_rows));
    if (modes > 1) {
        return QStringLiteral("--list-ports, --encrypt, --inspect, --check-version and --export "
                              "exclude each other.");
    }
    if (parser.isSet(o.export_rows)) {
        return read_export(parser, o, request);
    }
    if ((parser.isSet(o.since) || parser.isSet(o.result))) {
        return QStringLiteral("--since and --result go with --export.");
    }
    if (parser.isSet(o.history) &&
        (parser.isSet(o.list_ports) || parser.isSet(o.encrypt) || parser.isSet(o.inspect))) {
        return QStringLiteral("--history records runs of devices; it does not go with "
                              "--list-ports, --encrypt or --inspect.");
    }
    if (parser.isSet(o.list_ports)) {
        request->mode = FlashRequest::Mode::ListPorts;
        return QString();
    }
    if (parser.isSet(o.encrypt)) {
        request->mode = FlashRequest::Mode::Encrypt;
        if (!parser.isSet(o.output_dir) || files || parser.isSet(o.port) || run_only) {
            return QStringLiteral("--encrypt takes a plain image and --output-dir, nothing else.");
        }
        return QString();
    }
    if (parser.isSet(o.inspect)) {
        request->mode = FlashRequest::Mode::Inspect;
        request->firmware = parser.value(o.inspect);
        if (files || parser.isSet(o.port) || run_only) {
            return QStringLiteral("--inspect takes one firmware file, nothing else.");
        }
        return QString();
    }
    return read_run(parser, o, request);
}
// What a refused command line still tells: where its report goes, and the
// ports and the file it names, so that the report of the refusal neither
// replaces them nor leaves them out.
void keep_what_is_known(const QCommandLineParser &parser, const FlashOptions &o,
                        FlashRequest *request)
{
    request->report_path = parser.value(o.report);
    if (request->ports.isEmpty()) {
        request->ports = parser.values(o.port);
        request->ports.removeDuplicates();
    }
    if (request->firmware.isEmpty()) {
        request->firmware = parser.positionalArguments().value(0);
    }
}
} // namespace

FlashArgs parse_flash_args(const QStringList &arguments)
{
    const FlashOptions options;
    QCommandLineParser parser;
    add_options(parser, options);
    FlashArgs args;
    if (!parser.parse(arguments)) {
        args.error = parser.errorText() + QLatin1String(TRY_HELP);
        keep_what_is_known(parser, options, &args.request);
        return args;
    }
    // Asking for help or the version is never bad usage, whatever else is there.
    if (parser.isSet(QStringLiteral("help"))) {
        args.request.mode = FlashRequest::Mode::Help;
        return args;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        args.request.mode = FlashRequest::Mode::Version;
        return args;
    }
    read_flags(parser, options, &args.request);
    const QString error = read_mode(parser, options, &args.request);
    if (!error.isEmpty()) {
        args.error = error + QLatin1String(TRY_HELP);
        keep_what_is_known(parser, options, &args.request);
    }
    return args;
}

RunSettings FlashRequest::run_settings() const
{
    RunSettings settings;
    settings.mode = mode == Mode::CheckVersion ? JobMode::CheckVersion : JobMode::Upgrade;
    settings.station = mode == Mode::Station;
    settings.ports = ports;
    settings.firmware = firmware;
    settings.timeout_ms = timeout_ms;
    settings.erase_timeout_ms = erase_timeout_ms;
    settings.retries = retries;
    settings.skip_same = skip_same;
    settings.wait = wait;
    settings.force = force;
    settings.history = history;
    settings.station_name = station_name;
    return settings;
}

QString FlashArgs::reason() const
{
    return error.endsWith(QLatin1String(TRY_HELP)) ? error.chopped(int(qstrlen(TRY_HELP))) : error;
}

QString flash_help_text()
{
    const FlashOptions options;
    QCommandLineParser parser;
    add_options(parser, options);
    return parser.helpText();
}

QString flash_version_text()
{
    return QStringLiteral("%1 %2").arg(QLatin1String(PROGRAM), QStringLiteral(KT62_VERSION));
}
