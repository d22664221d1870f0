#include "station/station_setup.h"

#include "common/units.h"
#include "history/history_target.h"
#include "production/exit_codes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
const char *const KEY_FIRMWARE = "firmware";
const char *const KEY_PORTS = "ports";
const char *const KEY_ENTRIES = "entries";
const char *const KEY_RETRIES = "retries";
const char *const KEY_SKIP_SAME = "skip_same";
const char *const KEY_TIMEOUT = "timeout_s";
const char *const KEY_ERASE_TIMEOUT = "erase_timeout_s";
const char *const KEY_HISTORY = "history";
const char *const KEY_LANGUAGE = "language";
const char *const HISTORY_FILE = "history.db";

const char *const DESCRIPTION =
    "KT62 Production Station: serves KT62 boards on several serial ports as they are\n"
    "plugged in and unplugged, one tile per port, and records every board in the\n"
    "history. Without options it comes back as the last session left it.";

int bounded(int value, int low, int high)
{
    return qBound(low, value, high);
}

// A whole number from low to high, or -1.
int whole_number(const QString &text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= low && value <= high ? value : -1;
}
} // namespace

QString default_history_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/') +
           QLatin1String(HISTORY_FILE);
}

StationOptions load_options()
{
    const QSettings settings;
    StationOptions options;
    options.firmware = settings.value(KEY_FIRMWARE).toString();
    options.ports = settings.value(KEY_PORTS).toStringList();
    options.entries = settings.value(KEY_ENTRIES).toStringList();
    options.retries = bounded(settings.value(KEY_RETRIES, 0).toInt(), 0, MAX_RETRIES);
    options.skip_same = settings.value(KEY_SKIP_SAME, false).toBool();
    options.timeout_s =
        bounded(settings.value(KEY_TIMEOUT, options.timeout_s).toInt(), 1, MAX_TIMEOUT_S);
    options.erase_timeout_s = bounded(
        settings.value(KEY_ERASE_TIMEOUT, options.erase_timeout_s).toInt(), 1, MAX_TIMEOUT_S);
    options.history = settings.value(KEY_HISTORY).toString();
    options.language = settings.value(KEY_LANGUAGE).toString();
    return options;
}

void save_options(const StationOptions &options)
{
    QSettings settings;
    settings.setValue(KEY_FIRMWARE, options.firmware);
    settings.setValue(KEY_PORTS, options.ports);
    settings.setValue(KEY_ENTRIES, options.entries);
    settings.setValue(KEY_RETRIES, options.retries);
    settings.setValue(KEY_SKIP_SAME, options.skip_same);
    settings.setValue(KEY_TIMEOUT, options.timeout_s);
    settings.setValue(KEY_ERASE_TIMEOUT, options.erase_timeout_s);
    settings.setValue(KEY_HISTORY, options.history);
    settings.setValue(KEY_LANGUAGE, options.language);
}

CommandLine parse_command_line(const QStringList &arguments, const StationOptions &kept)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port{
        "port",
        "A port to serve: a name (ttyUSB0, COM3), a path, or usb:VVVV:PPPP[:SERIAL] (a USB "
        "adapter's identity). Repeat it for several ports; it replaces the ports checked last "
        "time.",
        "PORT"};
    const QCommandLineOption history{
        "history",
        "Record every board in TARGET: an SQLite file or a postgresql:// URL (default: "
        "history.db in the user's data folder).",
        "TARGET"};
    const QCommandLineOption retries{
        "retries",
        "Run a board again after a device failure, a lost port or a time-out, up to N more times "
        "(0 to 100).",
        "N"};
    const QCommandLineOption skip_same{
        "skip-same", "Leave a board alone that already runs the image's version."};
    const QCommandLineOption start{"start", "Start serving at once."};
    parser.addOptions({port, history, retries, skip_same, start});
    parser.addPositionalArgument("FIRMWARE", "The encrypted firmware image (*_V<version>.bin).",
                                 "[FIRMWARE]");

    CommandLine line;
    line.options = kept;
    const auto refuse = [&line](const QString &why) {
        line.quit = true;
        line.exit_code = EXIT_BAD_INPUT;
        line.output = QStringLiteral("kt62-station: %1\n").arg(why);
        return line;
    };
    if (!parser.parse(arguments)) {
        return refuse(parser.errorText());
    }
    // Qt adds --help-all beside --help; the station has no options of Qt's to show.
    const bool helped = parser.isSet(help) || parser.isSet(QStringLiteral("help-all"));
    if (helped || parser.isSet(version)) {
        line.quit = true;
        line.output =
            helped ? parser.helpText() : QStringLiteral("kt62-station %1\n").arg(KT62_VERSION);
        return line;
    }
    if (parser.positionalArguments().size() > 1) {
        return refuse(QStringLiteral("one firmware file at most"));
    }
    if (!parser.positionalArguments().isEmpty()) {
        line.options.firmware =
            QFileInfo(parser.positionalArguments().constFirst()).absoluteFilePath();
    }
    if (parser.isSet(port)) {
        line.options.ports = parser.values(port);
        line.options.ports.removeDuplicates();
    }
    if (parser.isSet(history)) {
        HistoryTarget target;
        QString error;
        if (!parse_history_target(parser.value(history), &target, &error)) {
            return refuse(QStringLiteral("--history: %1").arg(error));
        }
        line.options.history = parser.value(history);
    }
    if (parser.isSet(retries)) {
        line.options.retries = whole_number(parser.value(retries), 0, MAX_RETRIES);
        if (line.options.retries < 0) {
            return refuse(
                QStringLiteral("--retries takes a whole number from 0 to %1.").arg(MAX_RETRIES));
        }
    }
    line.options.skip_same = line.options.skip_same || parser.isSet(skip_same);
    line.options.start = parser.isSet(start);
    return line;
}

RunSettings station_settings(const StationOptions &options)
{
    RunSettings settings;
    settings.station = true;
    settings.ports = options.ports;
    settings.firmware = options.firmware;
    settings.timeout_ms = options.timeout_s * MS_PER_SECOND;
    settings.erase_timeout_ms = options.erase_timeout_s * MS_PER_SECOND;
    settings.retries = options.retries;
    settings.skip_same = options.skip_same;
    settings.history = options.history.isEmpty() ? default_history_path() : options.history;
    HistoryTarget target;
    QString error;
    // A new SQLite file needs its folder; the data folder is not there on a
    // fresh account.
    if (parse_history_target(settings.history, &target, &error) &&
        target.kind == HistoryTarget::Kind::Sqlite) {
        QDir().mkpath(QFileInfo(target.path).absolutePath());
    }
    return settings;
}

FirmwareFacts check_firmware(const QString &path)
{
    FirmwareFacts facts;
    // The order of kt62-flash --inspect: a file too large is refused on its
    // size alone, before it is read.
    facts.refusal = oversize_refusal(path);
    if (!facts.refusal.isEmpty()) {
        return facts;
    }
    facts.inspection = inspect_firmware(path);
    if (!facts.inspection.readable) {
        facts.refusal = facts.inspection.error;
        return facts;
    }
    const FirmwareInput input = check_firmware_input(path);
    if (!input.ok) {
        facts.refusal = input.error;
    } else if (!facts.inspection.header_ok) {
        facts.refusal = header_refusal(path, facts.inspection);
    } else {
        facts.refusal = empty_image_refusal(path, facts.inspection);
    }
    return facts;
}
