#include "flash_cli.h"

#include "firmware_image.h"
#include "firmware_name.h"
#include "flash_exit.h"
#include "flash_job.h"
#include "port_list.h"
#include "progress_display.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#define KT62_ISATTY(fd) _isatty(fd)
#define KT62_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define KT62_ISATTY(fd) isatty(fd)
#define KT62_FILENO(f) fileno(f)
#endif

namespace {
constexpr double MS_PER_SECOND = 1000.0;
// QTimer takes an int of milliseconds.
constexpr double MAX_TIMEOUT_S = 24.0 * 3600.0;

const char DESCRIPTION[] =
    "Upgrades the firmware of a KT62 device over a serial port, without a display.\n"
    "\n"
    "  kt62-flash --port PORT FIRMWARE            upgrade the device\n"
    "  kt62-flash --check-version --port PORT [FIRMWARE]\n"
    "                                             show the device's version (and FIRMWARE's)\n"
    "  kt62-flash --encrypt PLAIN --output-dir DIR  write the encrypted firmware file\n"
    "  kt62-flash --list-ports                    list the serial ports\n"
    "\n"
    "Exit codes:\n"
    "  0  upgrade finished (the device reported success), or the command succeeded\n"
    "  1  the device reported failure\n"
    "  2  bad usage or bad input (missing, unreadable, wrongly named, empty or oversize\n"
    "     firmware); nothing was sent\n"
    "  3  the port could not be opened or was lost\n"
    "  4  time-out: the device was silent for --timeout seconds";

bool g_verbose = false;
QtMessageHandler g_default_handler = nullptr;

// The engine and the channel trace every frame to the debug log; on a
// terminal that would bury the progress, so it is shown only on request.
void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !g_verbose) {
        return;
    }
    g_default_handler(type, context, message);
}

void printTo(FILE *stream, const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int fail(int code, const QString &message)
{
    printTo(stderr, QStringLiteral("kt62-flash: ") + message);
    return code;
}

struct Options
{
    QCommandLineOption port{"port", "Serial port of the device (a name or a path).", "PORT"};
    QCommandLineOption checkVersion{"check-version", "Show the device's current version."};
    QCommandLineOption encrypt{"encrypt", "Encrypt the plain image PLAIN.", "PLAIN"};
    QCommandLineOption outputDir{"output-dir", "Directory for the encrypted file.", "DIR"};
    QCommandLineOption listPorts{"list-ports", "List the serial ports."};
    QCommandLineOption timeout{
        "timeout", "Give up when the device is silent this long (default 30).", "SECONDS", "30"};
    QCommandLineOption report{"report", "Write a JSON report of the run to FILE.", "FILE"};
    QCommandLineOption quiet{QStringList{"q", "quiet"}, "Print errors and answers only."};
    QCommandLineOption verbose{"verbose", "Print the protocol trace (every frame in hex)."};
};

ProgressDisplay::Style displayStyle(bool quiet)
{
    if (quiet) {
        return ProgressDisplay::Style::Quiet;
    }
    // A bar redrawn in place only makes sense where someone watches it, and
    // not when the trace would be printed across it.
    return KT62_ISATTY(KT62_FILENO(stderr)) && !g_verbose ? ProgressDisplay::Style::Bar
                                                          : ProgressDisplay::Style::Lines;
}

int listPorts()
{
    const QStringList names = availablePortNames();
    for (const QString &name : names) {
        printTo(stdout, name);
    }
    return EXIT_UPGRADE_OK;
}

int encryptImage(const QString &plain, const QString &output_dir, bool quiet)
{
    const QFileInfo info(plain);
    if (!info.isFile()) {
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: no such file").arg(plain));
    }
    // The same refusals as the encryption dialog: an encrypted name must
    // come out carrying the model and version exactly once.
    if (path_has_marker(plain)) {
        return fail(EXIT_BAD_INPUT,
                    QStringLiteral("%1: the path already holds \"_V\"; is it encrypted already?")
                        .arg(plain));
    }
    if (!file_name_of(plain).contains(QLatin1Char('_'))) {
        return fail(EXIT_BAD_INPUT,
                    QStringLiteral("%1: the name needs a \"_\" between model and version, as in "
                                   "KT62_01.02.03.04.bin")
                        .arg(plain));
    }
    if (!QFileInfo(output_dir).isDir()) {
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: no such directory").arg(output_dir));
    }
    const QString output = encrypted_output_path(output_dir, plain);
    const EncryptResult result = encrypt_firmware_file(plain, output);
    switch (result.status) {
    case EncryptStatus::Ok:
        break;
    case EncryptStatus::SourceUnreadable:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: cannot be read").arg(plain));
    case EncryptStatus::SourceTooLarge:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: larger than %2 bytes, the most that can be "
                                                   "encrypted")
                                        .arg(plain)
                                        .arg(ENCRYPT_BUFFER_SIZE));
    case EncryptStatus::OutputFailed:
        return fail(EXIT_BAD_INPUT, QStringLiteral("%1: cannot be written").arg(output));
    }
    if (!quiet) {
        printTo(stderr, QStringLiteral("Encrypted %1 bytes, checksum 0x%2")
                            .arg(result.plain_size)
                            .arg(result.checksum, 8, 16, QLatin1Char('0')));
    }
    printTo(stdout, output);
    return EXIT_UPGRADE_OK;
}

void describeRun(const FlashJob &job, const JobSettings &settings)
{
    const FlashReport &report = job.report();
    if (settings.mode == JobSettings::Mode::Upgrade) {
        printTo(stderr,
                QStringLiteral("Firmware %1: %2 bytes in %3 packets, model %4, version %5")
                    .arg(QFileInfo(report.file).fileName())
                    .arg(report.size)
                    .arg(report.packets)
                    .arg(report.device_model.isEmpty() ? "unknown" : report.device_model)
                    .arg(report.target_version.isEmpty() ? "unknown" : report.target_version));
    }
    printTo(stderr, QStringLiteral("Port %1").arg(settings.port));
}

void summarise(const FlashReport &report)
{
    if (report.mode == QLatin1String("check-version")) {
        return;
    }
    printTo(stderr, QStringLiteral("%1 in %2 s: %3 blocks sent, %4 repeated, %5 NAKs")
                        .arg(report.result)
                        .arg(double(report.end_at) / MS_PER_SECOND, 0, 'f', 1)
                        .arg(report.blocks_sent)
                        .arg(report.repeats)
                        .arg(report.naks));
}

void printVersions(const FlashReport &report)
{
    const auto shown = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("unknown") : text;
    };
    printTo(stdout, QStringLiteral("Current version: %1").arg(shown(report.current_version)));
    if (!report.file.isEmpty()) {
        printTo(stdout, QStringLiteral("Target version: %1").arg(shown(report.target_version)));
    }
}

void writeReport(const FlashReport &report, const QString &path)
{
    QString error;
    if (!path.isEmpty() && !write_report(report, path, &error)) {
        fail(report.exit_code, QStringLiteral("cannot write the report %1: %2").arg(path, error));
    }
}

int runJob(const JobSettings &settings, const QString &report_path, bool quiet)
{
    FlashJob job(settings);
    if (!job.prepare()) {
        writeReport(job.report(), report_path);
        return fail(EXIT_BAD_INPUT, job.report().message);
    }
    ProgressDisplay display(displayStyle(quiet), stderr);
    if (!quiet) {
        describeRun(job, settings);
    }
    QObject::connect(&job, &FlashJob::status, [&](const QString &text) { display.status(text); });
    QObject::connect(&job, &FlashJob::progress,
                     [&](int percent, qint64 bytes, qint64 total, qint64 elapsed_ms) {
                         display.progress(percent, bytes, total, elapsed_ms);
                     });
    QObject::connect(&job, &FlashJob::finished, &QCoreApplication::exit);
    job.start();
    const int code = QCoreApplication::exec();
    display.endLine();

    const FlashReport &report = job.report();
    writeReport(report, report_path);
    if (code == EXIT_UPGRADE_OK && settings.mode == JobSettings::Mode::CheckVersion) {
        printVersions(report);
    }
    if (code != EXIT_UPGRADE_OK) {
        return fail(code, report.message);
    }
    if (!quiet) {
        summarise(report);
    }
    return code;
}

int usage(const QString &message)
{
    return fail(EXIT_BAD_INPUT, message + QStringLiteral("\nTry 'kt62-flash --help'."));
}

bool parseTimeout(const QString &text, int *timeout_ms)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0.0) || seconds > MAX_TIMEOUT_S) {
        return false;
    }
    *timeout_ms = qMax(1, int(seconds * MS_PER_SECOND));
    return true;
}
} // namespace

int run_flash_cli(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kt62-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KT62_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(DESCRIPTION));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    Options o;
    parser.addOptions({o.port, o.checkVersion, o.encrypt, o.outputDir, o.listPorts, o.timeout,
                       o.report, o.quiet, o.verbose});
    parser.addPositionalArgument("FIRMWARE", "Encrypted firmware file, such as "
                                             "KT62_V01.02.03.04.bin.");
    if (!parser.parse(app.arguments())) {
        return usage(parser.errorText());
    }
    if (parser.isSet(help)) {
        parser.showHelp(EXIT_UPGRADE_OK);
    }
    if (parser.isSet(version)) {
        parser.showVersion();
    }
    g_verbose = parser.isSet(o.verbose);
    g_default_handler = qInstallMessageHandler(filterMessages);

    const bool quiet = parser.isSet(o.quiet);
    const QStringList files = parser.positionalArguments();
    const int modes = int(parser.isSet(o.listPorts)) + int(parser.isSet(o.encrypt)) +
                      int(parser.isSet(o.checkVersion));
    if (modes > 1) {
        return usage("--list-ports, --encrypt and --check-version exclude each other.");
    }
    if (parser.isSet(o.listPorts)) {
        return listPorts();
    }
    if (parser.isSet(o.encrypt)) {
        if (!parser.isSet(o.outputDir) || !files.isEmpty() || parser.isSet(o.port)) {
            return usage("--encrypt takes a plain image and --output-dir, nothing else.");
        }
        return encryptImage(parser.value(o.encrypt), parser.value(o.outputDir), quiet);
    }

    JobSettings settings;
    settings.mode =
        parser.isSet(o.checkVersion) ? JobSettings::Mode::CheckVersion : JobSettings::Mode::Upgrade;
    if (!parser.isSet(o.port) && files.isEmpty() && !parser.isSet(o.checkVersion)) {
        return usage("Nothing to do.");
    }
    if (parser.values(o.port).size() != 1) {
        return usage("Give one --port.");
    }
    settings.port = parser.value(o.port);
    if (files.size() > 1 || (settings.mode == JobSettings::Mode::Upgrade && files.isEmpty())) {
        return usage(settings.mode == JobSettings::Mode::Upgrade
                         ? "Give one firmware file."
                         : "Give at most one firmware file.");
    }
    settings.firmware = files.value(0);
    if (!parseTimeout(parser.value(o.timeout), &settings.timeout_ms)) {
        return usage("--timeout takes a number of seconds greater than 0.");
    }
    return runJob(settings, parser.value(o.report), quiet);
}
