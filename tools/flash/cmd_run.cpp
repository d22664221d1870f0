// The commands that run devices: an upgrade of one or several ports, a
// station, a version check. The production core does the work; this file
// shows it and writes the report.
#include "production/exit_codes.h"
#include "production/operator_slips.h"
#include "production/stop_signals.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/report_file.h"
#include "tools/flash/run_output.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
QString shown(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("unknown") : text;
}

// A run refused before anything was sent: every port's report says why.
int refuse(const ProductionRun &run, const FlashRequest &request, const QString &message)
{
    write_report(ports_report(run.reports(), EXIT_BAD_INPUT, message), request.report_path);
    return fail(EXIT_BAD_INPUT, message);
}

void describe(const ProductionRun &run, const FlashRequest &request)
{
    if (request.quiet) {
        return;
    }
    if (request.mode != FlashRequest::Mode::CheckVersion) {
        const FlashReport &image = run.image();
        print_line(stderr,
                   QStringLiteral("Firmware %1: %2 bytes in %3 packets, model %4, version %5")
                       .arg(QFileInfo(image.file).fileName())
                       .arg(image.size)
                       .arg(image.packets)
                       .arg(shown(image.device_model), shown(image.target_version)));
    }
    const QString label =
        request.ports.size() == 1 ? QStringLiteral("Port %1") : QStringLiteral("Ports %1");
    print_line(stderr, label.arg(request.ports.join(QStringLiteral(", "))));
    if (request.mode == FlashRequest::Mode::Station) {
        print_line(stderr, QStringLiteral("Station: serving boards as they are plugged in; "
                                          "SIGINT (Ctrl+C) or SIGTERM ends it"));
    }
}

// Every port's outcome (with several ports on lines that start with the
// port), then the count of good ones.
void summarise(const QVector<FlashReport> &reports, bool quiet)
{
    const bool several = reports.size() > 1;
    int upgraded = 0;
    for (const FlashReport &report : reports) {
        const QString prefix = several ? report.port + QStringLiteral(": ") : QString();
        if (report.exit_code != EXIT_UPGRADE_OK) {
            fail(report.exit_code, prefix + report.message);
        } else if (!quiet) {
            print_line(stderr, prefix + board_figures(report));
        }
        upgraded += report.exit_code == EXIT_UPGRADE_OK ? 1 : 0;
    }
    if (several && !quiet) {
        print_line(stderr,
                   QStringLiteral("%1 of %2 ports upgraded").arg(upgraded).arg(reports.size()));
    }
}

// With --json standard output carries events only; the answer goes with
// the human output then.
void print_versions(const FlashReport &report, FILE *stream)
{
    // The device's text is not trusted with the terminal.
    print_line(
        stream,
        QStringLiteral("Current version: %1").arg(escape_controls(shown(report.current_version))));
    if (!report.file.isEmpty()) {
        print_line(stream, QStringLiteral("Target version: %1").arg(shown(report.target_version)));
    }
}

// Runs the prepared run to its end: every port's run, or a station until a
// stop signal. Returns its exit code after the report.
int serve(ProductionRun &run, const FlashRequest &request)
{
    RunOutput output(run, request);
    StopSignals stop_signals;
    QObject::connect(&stop_signals, &StopSignals::stopRequested, &run, &ProductionRun::interrupt);
    QString refusal;
    QObject::connect(&run, &ProductionRun::refused, &run,
                     [&refusal](const QString &message) { refusal = message; });
    QObject::connect(&run, &ProductionRun::historyFailed, &run,
                     [](const QString &reason, const QString &fallback) {
                         fail(EXIT_HISTORY_FAILED,
                              QStringLiteral("the history failed: %1; no new board is taken, and "
                                             "the rows of boards in progress are kept in %2")
                                  .arg(reason, fallback));
                     });
    QObject::connect(&run, &ProductionRun::ended, &run,
                     [](int code) { QCoreApplication::exit(code); });
    run.start();
    QCoreApplication::exec();
    output.end();
    if (!refusal.isEmpty()) {
        return refuse(run, request, refusal);
    }
    int code = run.exit_code();
    const bool station = request.mode == FlashRequest::Mode::Station;
    const QJsonObject report = station ? station_report(run.tally(), output.devices(), code)
                                       : ports_report(run.reports(), code);
    if (!write_report(report, request.report_path) && code == EXIT_UPGRADE_OK) {
        // A good run without the report it was asked for is no good run for
        // the script that reads it; a failed run keeps its own code.
        code = EXIT_REPORT_FAILED;
    }
    if (station) {
        // The station's answer: shown even with --quiet.
        const RunTally &tally = run.tally();
        print_line(stderr,
                   QStringLiteral("Station ended: boards served: %1, succeeded: %2, failed: %3, "
                                  "skipped: %4")
                       .arg(tally.served)
                       .arg(tally.succeeded)
                       .arg(tally.failed)
                       .arg(tally.skipped));
        if (output.events()) {
            output.events()->summary(tally_json(tally), code);
        }
    } else if (request.mode == FlashRequest::Mode::CheckVersion) {
        const FlashReport &answer = run.reports().constFirst();
        if (answer.exit_code != EXIT_UPGRADE_OK) {
            return fail(answer.exit_code, answer.message);
        }
        print_versions(answer, request.json ? stderr : stdout);
    } else {
        summarise(run.reports(), request.quiet);
    }
    return code;
}

} // namespace

int run_ports(const FlashRequest &request)
{
    // Before anything else: the refusals below write the report.
    const QString report_refusal =
        report_path_refusal(request.report_path, request.firmware, request.ports);
    if (!report_refusal.isEmpty()) {
        return fail(EXIT_BAD_INPUT, report_refusal);
    }
    ProductionRun run(request.run_settings());
    const QString refusal = run.prepare();
    if (!refusal.isEmpty()) {
        return refuse(run, request, refusal);
    }
    describe(run, request);
    return serve(run, request);
}
