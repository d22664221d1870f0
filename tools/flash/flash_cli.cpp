#include "tools/flash/flash_cli.h"

#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "serial/port_list.h"
#include "tools/flash/firmware_input.h"
#include "tools/flash/flash_exit.h"
#include "tools/flash/flash_job.h"
#include "tools/flash/progress_display.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>
#include <memory>
#include <vector>

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
    "Upgrades the firmware of KT62 devices over serial ports, without a display.\n"
    "\n"
    "  kt62-flash --port PORT [--port PORT ...] FIRMWARE\n"
    "                                             upgrade the devices, all at once\n"
    "  kt62-flash --check-version --port PORT [FIRMWARE]\n"
    "                                             show the device's version (and FIRMWARE's)\n"
    "  kt62-flash --inspect FIRMWARE              check an image without sending it\n"
    "  kt62-flash --encrypt PLAIN --output-dir DIR  write the encrypted firmware file\n"
    "  kt62-flash --list-ports                    list the serial ports\n"
    "\n"
    "Before an upgrade the image's 4-byte checksum header must match its body;\n"
    "otherwise nothing is sent (exit code 2) unless --force is given. --inspect\n"
    "prints, one per line: \"file: \", \"model: \", \"target version: \", \"size: N bytes\",\n"
    "\"packets: N\" and \"header: ok (0xSUM)\" or \"header: MISMATCH (why)\"; its exit code\n"
    "is 0 when an upgrade would send the image, 2 when it would refuse it.\n"
    "\n"
    "With several ports each device has its own channel; on a terminal one line per\n"
    "port is redrawn in place, otherwise every line starts with the port. --report\n"
    "holds {\"exit_code\": N, \"ports\": [one entry per port]}.\n"
    "\n"
    "Exit codes (with several ports: 0 only when every port succeeded, otherwise\n"
    "the highest code among the ports):\n"
    "  0  upgrade finished (the device reported success), or the command succeeded\n"
    "  1  the device reported failure\n"
    "  2  bad usage or bad input (missing, unreadable, wrongly named, empty or oversize\n"
    "     firmware, or a checksum header that does not match); nothing was sent\n"
    "  3  the port could not be opened or was lost\n"
    "  4  time-out: the device was silent for --timeout seconds";

bool g_verbose = false;
QtMessageHandler g_default_handler = nullptr;

// The engine and the channel trace every frame to the debug log; on a
// terminal that would bury the progress, so it is shown only on request.
void filter_messages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !g_verbose) {
        return;
    }
    g_default_handler(type, context, message);
}

void print_to(FILE *stream, const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int fail(int code, const QString &message)
{
    print_to(stderr, QStringLiteral("kt62-flash: ") + message);
    return code;
}

struct Options
{
    QCommandLineOption port{"port",
                            "Serial port of a device (a name or a path); repeat it to "
                            "upgrade several devices at once.",
                            "PORT"};
    QCommandLineOption inspect{"inspect", "Check the image FILE and print what it holds.", "FILE"};
    QCommandLineOption force{"force", "Send an image whose checksum header does not match."};
    QCommandLineOption checkVersion{"check-version", "Show the device's current version."};
    QCommandLineOption encrypt{"encrypt", "Encrypt the plain image PLAIN.", "PLAIN"};
    QCommandLineOption outputDir{"output-dir", "Directory for the encrypted file.", "DIR"};
    QCommandLineOption list_ports{"list-ports", "List the serial ports."};
    QCommandLineOption timeout{
        "timeout", "Give up when the device is silent this long (default 30).", "SECONDS", "30"};
    QCommandLineOption report{"report", "Write a JSON report of the run (every port) to FILE.",
                              "FILE"};
    QCommandLineOption quiet{QStringList{"q", "quiet"}, "Print errors and answers only."};
    QCommandLineOption verbose{"verbose", "Print the protocol trace (every frame in hex)."};
};

ProgressDisplay::Style display_style(bool quiet)
{
    if (quiet) {
        return ProgressDisplay::Style::Quiet;
    }
    // A bar redrawn in place only makes sense where someone watches it, and
    // not when the trace would be printed across it.
    return KT62_ISATTY(KT62_FILENO(stderr)) && !g_verbose ? ProgressDisplay::Style::Bar
                                                          : ProgressDisplay::Style::Lines;
}

int list_ports()
{
    const QStringList names = available_port_names();
    for (const QString &name : names) {
        print_to(stdout, name);
    }
    return EXIT_UPGRADE_OK;
}

int encrypt_image(const QString &plain, const QString &output_dir, bool quiet)
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
        print_to(stderr, QStringLiteral("Encrypted %1 bytes, checksum 0x%2")
                             .arg(result.plain_size)
                             .arg(result.checksum, 8, 16, QLatin1Char('0')));
    }
    print_to(stdout, output);
    return EXIT_UPGRADE_OK;
}

void describe_run(const FlashReport &report, const QStringList &ports)
{
    if (report.mode == QLatin1String("upgrade")) {
        print_to(stderr,
                 QStringLiteral("Firmware %1: %2 bytes in %3 packets, model %4, version %5")
                     .arg(QFileInfo(report.file).fileName())
                     .arg(report.size)
                     .arg(report.packets)
                     .arg(report.device_model.isEmpty() ? "unknown" : report.device_model)
                     .arg(report.target_version.isEmpty() ? "unknown" : report.target_version));
    }
    const QString label =
        ports.size() == 1 ? QStringLiteral("Port %1") : QStringLiteral("Ports %1");
    print_to(stderr, label.arg(ports.join(QStringLiteral(", "))));
}

void summarise(const FlashReport &report, const QString &prefix = QString())
{
    if (report.mode == QLatin1String("check-version")) {
        return;
    }
    print_to(stderr, prefix + QStringLiteral("%1 in %2 s: %3 blocks sent, %4 repeated, %5 NAKs")
                                  .arg(report.result)
                                  .arg(double(report.end_at) / MS_PER_SECOND, 0, 'f', 1)
                                  .arg(report.blocks_sent)
                                  .arg(report.repeats)
                                  .arg(report.naks));
}

void print_versions(const FlashReport &report)
{
    const auto shown = [](const QString &text) {
        return text.isEmpty() ? QStringLiteral("unknown") : text;
    };
    print_to(stdout, QStringLiteral("Current version: %1").arg(shown(report.current_version)));
    if (!report.file.isEmpty()) {
        print_to(stdout, QStringLiteral("Target version: %1").arg(shown(report.target_version)));
    }
}

struct RunOptions
{
    QString report_path;
    bool quiet = false;
    bool force = false;
};

using Jobs = std::vector<std::unique_ptr<FlashJob>>;

int write_report(const Jobs &jobs, int exit_code, const QString &path)
{
    QVector<FlashReport> reports;
    for (const auto &job : jobs) {
        reports << job->report();
    }
    QString error;
    if (!path.isEmpty() && !write_report(reports, exit_code, path, &error)) {
        fail(exit_code, QStringLiteral("cannot write the report %1: %2").arg(path, error));
    }
    return exit_code;
}

// Every port refused for the one reason; nothing is sent to any of them.
int refuse_all(const Jobs &jobs, const QString &message, const QString &report_path)
{
    for (const auto &job : jobs) {
        job->refuse(message);
    }
    write_report(jobs, EXIT_BAD_INPUT, report_path);
    return fail(EXIT_BAD_INPUT, message);
}

QString header_refusal(const QString &path, const FirmwareInspection &inspection)
{
    return QStringLiteral("%1: the checksum header does not match the body (%2); a plain image? "
                          "Encrypt it with --encrypt, or send it as it is with --force")
        .arg(path, header_mismatch_reason(inspection));
}

// Loads the image once, checks it, and hands every job the same packet
// table. Returns EXIT_UPGRADE_OK when all jobs may start.
int prepare_jobs(const Jobs &jobs, const RunOptions &options)
{
    FlashJob &first = *jobs.front();
    if (!first.prepare()) {
        return refuse_all(jobs, first.report().message, options.report_path);
    }
    const FlashReport &report = first.report();
    if (report.mode == QLatin1String("upgrade") && !options.force) {
        // An image whose header does not match would be erased for and then
        // refused by the device: the board is left without firmware.
        const FirmwareInspection inspection = inspect_firmware(report.file);
        if (!inspection.header_ok) {
            return refuse_all(jobs, header_refusal(report.file, inspection), options.report_path);
        }
    }
    for (std::size_t i = 1; i < jobs.size(); ++i) {
        if (!jobs[i]->prepare(&first)) {
            return refuse_all(jobs, jobs[i]->report().message, options.report_path);
        }
    }
    return EXIT_UPGRADE_OK;
}

// The progress of every job on standard error: as before for one port;
// for several, a line per port redrawn in place on a terminal, or plain
// lines prefixed with the port.
class RunDisplay
{
public:
    RunDisplay(const Jobs &jobs, ProgressDisplay::Style style)
    {
        QStringList ports;
        for (const auto &job : jobs) {
            ports << job->report().port;
        }
        if (style == ProgressDisplay::Style::Bar && jobs.size() > 1) {
            m_station = std::make_unique<StationDisplay>(ports, stderr);
        }
        for (const QString &port : std::as_const(ports)) {
            const QString prefix = jobs.size() > 1 ? port + QStringLiteral(": ") : QString();
            m_lines.push_back(std::make_unique<ProgressDisplay>(style, stderr, prefix));
        }
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            connect(*jobs[i], int(i));
        }
    }

    void end()
    {
        if (m_station) {
            m_station->flush();
        }
        for (const auto &line : m_lines) {
            line->endLine();
        }
    }

    void finished(int port, const FlashReport &report)
    {
        if (m_station) {
            m_station->status(port, report.exit_code == EXIT_UPGRADE_OK
                                        ? report.result
                                        : report.result + QStringLiteral(": ") + report.message);
        }
    }

private:
    void connect(FlashJob &job, int port)
    {
        QObject::connect(&job, &FlashJob::status, [this, port](const QString &text) {
            if (m_station) {
                m_station->status(port, text);
            } else {
                m_lines[port]->status(text);
            }
        });
        QObject::connect(&job, &FlashJob::progress,
                         [this, port](int percent, qint64 bytes, qint64 total, qint64 elapsed) {
                             if (m_station) {
                                 m_station->progress(port, percent, bytes, total, elapsed);
                             } else {
                                 m_lines[port]->progress(percent, bytes, total, elapsed);
                             }
                         });
    }

    std::unique_ptr<StationDisplay> m_station;
    std::vector<std::unique_ptr<ProgressDisplay>> m_lines;
};

// 0 when every port succeeded, otherwise the worst code of them all.
int overall_code(const Jobs &jobs)
{
    int code = EXIT_UPGRADE_OK;
    for (const auto &job : jobs) {
        code = qMax(code, job->report().exit_code);
    }
    return code;
}

int end_single_port(const FlashJob &job, const RunOptions &options)
{
    const FlashReport &report = job.report();
    if (report.exit_code == EXIT_UPGRADE_OK && report.mode == QLatin1String("check-version")) {
        print_versions(report);
    }
    if (report.exit_code != EXIT_UPGRADE_OK) {
        return fail(report.exit_code, report.message);
    }
    if (!options.quiet) {
        summarise(report);
    }
    return report.exit_code;
}

int end_station(const Jobs &jobs, const RunOptions &options)
{
    int upgraded = 0;
    for (const auto &job : jobs) {
        const FlashReport &report = job->report();
        const QString prefix = report.port + QStringLiteral(": ");
        if (report.exit_code != EXIT_UPGRADE_OK) {
            fail(report.exit_code, prefix + report.message);
        } else if (!options.quiet) {
            summarise(report, prefix);
        }
        upgraded += report.exit_code == EXIT_UPGRADE_OK ? 1 : 0;
    }
    if (!options.quiet) {
        print_to(stderr, QStringLiteral("%1 of %2 ports upgraded").arg(upgraded).arg(jobs.size()));
    }
    return overall_code(jobs);
}

int run_jobs(const QVector<JobSettings> &settings, const RunOptions &options)
{
    Jobs jobs;
    QStringList ports;
    for (const JobSettings &one : settings) {
        jobs.push_back(std::make_unique<FlashJob>(one));
        ports << one.port;
    }
    const int prepared = prepare_jobs(jobs, options);
    if (prepared != EXIT_UPGRADE_OK) {
        return prepared;
    }
    if (!options.quiet) {
        describe_run(jobs.front()->report(), ports);
    }
    RunDisplay display(jobs, display_style(options.quiet));
    // All ports run on this one event loop; a port that ends, however it
    // ends, leaves the others running.
    std::size_t running = jobs.size();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        FlashJob *job = jobs[i].get();
        QObject::connect(job, &FlashJob::finished, [&, job, i] {
            display.finished(int(i), job->report());
            if (--running == 0) {
                QCoreApplication::exit(EXIT_UPGRADE_OK);
            }
        });
    }
    for (const auto &job : jobs) {
        job->start();
    }
    QCoreApplication::exec();
    display.end();

    write_report(jobs, overall_code(jobs), options.report_path);
    return jobs.size() == 1 ? end_single_port(*jobs.front(), options) : end_station(jobs, options);
}

int inspect(const QString &path)
{
    const FirmwareInspection inspection = inspect_firmware(path);
    if (!inspection.readable) {
        return fail(EXIT_BAD_INPUT, inspection.error);
    }
    for (const QString &line : inspection_lines(path, inspection)) {
        print_to(stdout, line);
    }
    // The same verdict an upgrade would reach before sending anything.
    const FirmwareInput input = check_firmware_input(path);
    if (!input.ok) {
        return fail(EXIT_BAD_INPUT, input.error);
    }
    if (!inspection.header_ok) {
        return fail(EXIT_BAD_INPUT, header_refusal(path, inspection));
    }
    return EXIT_UPGRADE_OK;
}

int usage(const QString &message)
{
    return fail(EXIT_BAD_INPUT, message + QStringLiteral("\nTry 'kt62-flash --help'."));
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
    parser.addOptions({o.port, o.checkVersion, o.inspect, o.encrypt, o.outputDir, o.list_ports,
                       o.timeout, o.report, o.force, o.quiet, o.verbose});
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
    g_default_handler = qInstallMessageHandler(filter_messages);

    const bool quiet = parser.isSet(o.quiet);
    const QStringList files = parser.positionalArguments();
    const int modes = int(parser.isSet(o.list_ports)) + int(parser.isSet(o.encrypt)) +
                      int(parser.isSet(o.checkVersion)) + int(parser.isSet(o.inspect));
    if (modes > 1) {
        return usage("--list-ports, --encrypt, --inspect and --check-version exclude each other.");
    }
    if (parser.isSet(o.list_ports)) {
        return list_ports();
    }
    if (parser.isSet(o.encrypt)) {
        if (!parser.isSet(o.outputDir) || !files.isEmpty() || parser.isSet(o.port)) {
            return usage("--encrypt takes a plain image and --output-dir, nothing else.");
        }
        return encrypt_image(parser.value(o.encrypt), parser.value(o.outputDir), quiet);
    }

    if (parser.isSet(o.inspect)) {
        if (!files.isEmpty() || parser.isSet(o.port)) {
            return usage("--inspect takes one firmware file, nothing else.");
        }
        return inspect(parser.value(o.inspect));
    }

    JobSettings settings;
    settings.mode =
        parser.isSet(o.checkVersion) ? JobSettings::Mode::CheckVersion : JobSettings::Mode::Upgrade;
    if (!parser.isSet(o.port) && files.isEmpty() && !parser.isSet(o.checkVersion)) {
        return usage("Nothing to do.");
    }
    QStringList ports = parser.values(o.port);
    if (ports.isEmpty() || (ports.size() > 1 && settings.mode == JobSettings::Mode::CheckVersion)) {
        return usage(settings.mode == JobSettings::Mode::Upgrade ? "Give at least one --port."
                                                                 : "Give one --port.");
    }
    if (ports.removeDuplicates() > 0) {
        return usage("Give each --port once.");
    }
    if (files.size() > 1 || (settings.mode == JobSettings::Mode::Upgrade && files.isEmpty())) {
        return usage(settings.mode == JobSettings::Mode::Upgrade
                         ? "Give one firmware file."
                         : "Give at most one firmware file.");
    }
    settings.firmware = files.value(0);
    if (!parse_timeout(parser.value(o.timeout), &settings.timeout_ms)) {
        return usage("--timeout takes a number of seconds greater than 0.");
    }
    QVector<JobSettings> all;
    for (const QString &port : ports) {
        settings.port = port;
        all << settings;
    }
    RunOptions options;
    options.report_path = parser.value(o.report);
    options.quiet = quiet;
    options.force = parser.isSet(o.force);
    return run_jobs(all, options);
}
