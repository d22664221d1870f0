#include "tools/flash/station.h"
#include "tools/flash/stop_signals.h"

#include "tools/flash/cli_output.h"
#include "tools/flash/flash_exit.h"

#include <QCoreApplication>

namespace {
constexpr double MS_PER_SECOND = 1000.0;

// "success in 12.3 s: 21 blocks sent, 0 repeated, 0 NAKs"
QString board_figures(const FlashReport &report)
{
    return QStringLiteral("%1 in %2 s: %3 blocks sent, %4 repeated, %5 NAKs")
        .arg(job_result_name(report.result))
        .arg(double(report.end_at) / MS_PER_SECOND, 0, 'f', 1)
        .arg(report.blocks_sent)
        .arg(report.repeats)
        .arg(report.naks);
}
} // namespace

void StationTally::add(const FlashReport &board)
{
    ++served;
    if (board.result == JobResult::Success) {
        ++succeeded;
    } else if (board.result == JobResult::Skipped) {
        ++skipped;
    } else {
        ++failed;
    }
    worst_exit_code = qMax(worst_exit_code, board.exit_code);
}

QJsonObject StationTally::toJson() const
{
    return QJsonObject{{QStringLiteral("served"), served},
                       {QStringLiteral("succeeded"), succeeded},
                       {QStringLiteral("failed"), failed},
                       {QStringLiteral("skipped"), skipped}};
}

QString StationTally::text() const
{
    return QStringLiteral("boards served: %1, succeeded: %2, failed: %3, skipped: %4")
        .arg(served)
        .arg(succeeded)
        .arg(failed)
        .arg(skipped);
}

Station::Station(const Jobs &jobs, const FlashRequest &request, QObject *parent)
    : QObject(parent), m_request(request), m_output(request.ports, request),
      m_serials(int(jobs.size()), 0)
{
    for (int i = 0; i < int(jobs.size()); ++i) {
        const FlashJob &job = *jobs[std::size_t(i)];
        m_lanes.push_back(std::make_unique<PortLane>(
            request.ports.at(i), lane_settings(request, JobMode::Upgrade), job, m_catalog));
        m_output.follow(*m_lanes.back(), i, this);
        connect(m_lanes.back().get(), &PortLane::boardFinished, this,
                [this, i](const FlashReport &report) { onBoard(i, report); });
    }
}

Station::~Station() = default;

void Station::start()
{
    if (!m_request.quiet) {
        print_line(stderr, QStringLiteral("Station: serving boards as they are plugged in; "
                                          "SIGINT (Ctrl+C) or SIGTERM ends it"));
    }
    for (const auto &lane : m_lanes) {
        lane->start();
    }
}

void Station::end(int signal_number)
{
    if (m_ending) {
        return;
    }
    m_ending = true;
    m_signal = signal_number;
    for (const auto &lane : m_lanes) {
        m_interrupted = m_interrupted || lane->busy();
    }
    const QString message =
        QStringLiteral("interrupted by %1").arg(StopSignals::name(signal_number));
    for (const auto &lane : m_lanes) {
        lane->stop(JobResult::Interrupted, EXIT_SIGNAL_BASE + signal_number, message);
    }
    finishWhenIdle();
}

int Station::exit_code() const
{
    return m_interrupted ? EXIT_SIGNAL_BASE + m_signal : m_tally.worst_exit_code;
}

void Station::onBoard(int index, const FlashReport &report)
{
    const int serial = ++m_serials[index];
    m_tally.add(report);
    QJsonObject entry = report.toJson();
    entry.insert(QStringLiteral("serial"), serial);
    m_devices.append(entry);
    const QString prefix = QStringLiteral("%1: board %2: ").arg(report.port).arg(serial);
    if (report.exit_code != EXIT_UPGRADE_OK) {
        fail(report.exit_code, prefix + report.message);
    } else if (!m_request.quiet) {
        print_line(stderr, prefix + board_figures(report));
    }
    if (m_output.events()) {
        m_output.events()->device(report, serial);
    }
    if (m_ending) {
        finishWhenIdle();
    }
}

void Station::finishWhenIdle()
{
    for (const auto &lane : m_lanes) {
        if (m_ended || lane->busy()) {
            return;
        }
    }
    m_ended = true;
    m_output.end();
    int code = exit_code();
    if (!writeReport(code) && code == EXIT_UPGRADE_OK) {
        code = EXIT_REPORT_FAILED;
    }
    // The station's answer: shown even with --quiet.
    print_line(stderr, QStringLiteral("Station ended: ") + m_tally.text());
    if (m_output.events()) {
        m_output.events()->summary(m_tally.toJson(), code);
    }
    emit ended(code);
    QCoreApplication::exit(code);
}

bool Station::writeReport(int exit_code) const
{
    if (m_request.report_path.isEmpty()) {
        return true;
    }
    const QJsonObject report{{QStringLiteral("exit_code"), exit_code},
                             {QStringLiteral("summary"), m_tally.toJson()},
                             {QStringLiteral("devices"), m_devices}};
    QString error;
    if (!write_json_file(report, m_request.report_path, &error)) {
        fail(exit_code,
             QStringLiteral("cannot write the report %1: %2").arg(m_request.report_path, error));
        return false;
    }
    return true;
}
