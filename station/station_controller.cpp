#include "station/station_controller.h"

#include "common/units.h"
#include "production/exit_codes.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "serial/port_select.h"

#include <QFileInfo>

#include <csignal>

namespace {
constexpr int RATE_REFRESH_MS = 60 * MS_PER_SECOND;
constexpr qint64 RATE_SHOWN_AFTER_MS = 60 * MS_PER_SECOND;
constexpr double MS_PER_HOUR = 3600.0 * MS_PER_SECOND;
// A stop from the window is the operator's Ctrl+C: the boards it cuts short
// get the code kt62-flash gives them on SIGINT.
constexpr int OPERATOR_STOP_EXIT = EXIT_SIGNAL_BASE + SIGINT;

using Activity = PortTileModel::Activity;
using Verdict = PortTileModel::Verdict;

// What the system knows of the adapter behind a port, or for a link (a
// fixture's name) the node it leads to.
QString adapter_text(const QString &port)
{
    for (const PortDetails &details : available_ports()) {
        if (details.name == port || details.system_location == port) {
            return adapter_summary(details);
        }
    }
    const QString node = port_device_node(port);
    const QString target = node.isEmpty() ? QString() : QFileInfo(node).canonicalFilePath();
    return target == node ? QString() : target;
}

Verdict verdict_of(JobResult result)
{
    switch (result) {
    case JobResult::Success:
        return Verdict::Done;
    case JobResult::Skipped:
        return Verdict::Skipped;
    case JobResult::None:
        return Verdict::None;
    default:
        return Verdict::Failed;
    }
}

Activity activity_of(UpgradePhase phase)
{
    switch (phase) {
    case UpgradePhase::Erasing:
        return Activity::Erasing;
    case UpgradePhase::Transfer:
        return Activity::Sending;
    case UpgradePhase::Completion:
        return Activity::Completing;
    default:
        return Activity::Querying;
    }
}
} // namespace

QString adapter_summary(const PortDetails &port)
{
    QStringList known;
    if (!port.description.isEmpty()) {
        known << port.description;
    }
    if (port.vendor_id && port.product_id) {
        UsbSelector identity{*port.vendor_id, *port.product_id, std::nullopt};
        if (!port.serial_number.isEmpty()) {
            identity.serial_number = port.serial_number;
        }
        known << identity.text();
    }
    return known.join(QStringLiteral(" · "));
}

StationController::StationController(QObject *parent) : QObject(parent)
{
    m_hourly_rate.setInterval(RATE_REFRESH_MS);
    connect(&m_hourly_rate, &QTimer::timeout, this, &StationController::totalsChanged);
}

StationController::~StationController() = default;

QString StationController::start(const RunSettings &settings)
{
    if (m_serving) {
        return QString();
    }
    m_run = std::make_unique<ProductionRun>(settings);
    const QString refusal = m_run->prepare();
    if (!refusal.isEmpty()) {
        m_run.reset();
        return refusal;
    }
    m_tiles.clear();
    for (const QString &port : settings.ports) {
        PortTileModel tile;
        tile.port = port;
        tile.adapter = adapter_text(port);
        m_tiles << tile;
    }
    follow();
    m_since.start();
    m_serving = true;
    m_hourly_rate.start();
    emit tilesReset();
    emit totalsChanged();
    emit servingChanged(true);
    m_run->start();
    return QString();
}

void StationController::follow()
{
    ProductionRun *run = m_run.get();
    connect(run, &ProductionRun::portState, this, &StationController::onState);
    connect(run, &ProductionRun::attemptStarted, this, &StationController::onAttempt);
    connect(run, &ProductionRun::portPhase, this, &StationController::onPhase);
    connect(run, &ProductionRun::portProgress, this,
            [this](int port, int percent, qint64 bytes, qint64, qint64 elapsed_ms) {
                onProgress(port, percent, bytes, elapsed_ms);
            });
    connect(run, &ProductionRun::portProblem, this, &StationController::onProblem);
    connect(run, &ProductionRun::portStatus, this, [this](int port, const QString &text) {
        m_tiles[port].status = text;
        emit tileChanged(port);
    });
    connect(run, &ProductionRun::boardFinished, this, &StationController::onBoard);
    connect(run, &ProductionRun::refused, this, &StationController::refused);
    connect(run, &ProductionRun::historyFailed, this, &StationController::historyFailed);
    connect(run, &ProductionRun::ended, this, &StationController::onEnded);
}

void StationController::stopNow()
{
    if (m_serving) {
        m_run->stop(JobResult::Interrupted, OPERATOR_STOP_EXIT,
                    QStringLiteral("stopped by the operator"));
    }
}

void StationController::letFinish()
{
    if (m_serving) {
        m_run->finish();
    }
}

void StationController::interrupt(int signal_number)
{
    if (m_serving) {
        m_run->interrupt(signal_number);
    }
}

bool StationController::busy() const
{
    return m_serving && m_run->busy();
}

StationTotals StationController::totals() const
{
    StationTotals totals;
    if (!m_run) {
        return totals;
    }
    totals.tally = m_run->tally();
    const qint64 elapsed = m_since.elapsed();
    if (totals.tally.served > 0 || elapsed >= RATE_SHOWN_AFTER_MS) {
        totals.per_hour = totals.tally.served * MS_PER_HOUR / double(qMax<qint64>(elapsed, 1));
    }
    return totals;
}

void StationController::onState(int port, PortLane::State state)
{
    PortTileModel &tile = m_tiles[port];
    switch (state) {
    case PortLane::State::Appearing:
        // The board that was shown is gone: its verdict goes with it.
        tile.activity = Activity::Waiting;
        tile.verdict = Verdict::None;
        tile.problem = GPI::OpenFailure::None;
        break;
    case PortLane::State::Admitting:
    case PortLane::State::Running:
        tile.activity = Activity::Opening;
        tile.problem = GPI::OpenFailure::None;
        break;
    case PortLane::State::Returning:
        tile.activity = Activity::Returning;
        break;
    case PortLane::State::Leaving:
        tile.activity = Activity::Verdict;
        break;
    case PortLane::State::PortProblem:
        tile.activity = Activity::Problem;
        break;
    case PortLane::State::Done:
        tile.activity = tile.verdict == Verdict::None ? Activity::Stopped : Activity::Verdict;
        break;
    case PortLane::State::Idle:
        break;
    }
    emit tileChanged(port);
}

void StationController::onAttempt(int port, const FlashReport &attempt)
{
    PortTileModel &tile = m_tiles[port];
    tile.attempt = attempt.attempts;
    tile.percent = 0;
    tile.bytes = 0;
    tile.bytes_per_second = 0;
    tile.verdict = Verdict::None;
    const QString adapter = adapter_text(attempt.system_port);
    if (!adapter.isEmpty()) {
        tile.adapter = adapter;
    }
    emit tileChanged(port);
}

void StationController::onPhase(int port, UpgradePhase phase)
{
    m_tiles[port].activity = activity_of(phase);
    emit tileChanged(port);
}

void StationController::onProgress(int port, int percent, qint64 bytes, qint64 elapsed_ms)
{
    PortTileModel &tile = m_tiles[port];
    tile.percent = percent;
    tile.bytes = bytes;
    tile.bytes_per_second = elapsed_ms > 0 ? bytes * MS_PER_SECOND / elapsed_ms : 0;
    emit tileChanged(port);
}

void StationController::onProblem(int port, const FlashReport &failed)
{
    PortTileModel &tile = m_tiles[port];
    tile.problem = failed.open_failure;
    tile.message = failed.message;
    const QString node = failed.system_port.isEmpty() ? tile.port : failed.system_port;
    tile.group = failed.open_failure == GPI::OpenFailure::Permission
                     ? group_to_join(port_node_facts(node)).value_or(QString())
                     : QString();
    emit tileChanged(port);
}

void StationController::onBoard(int port, const FlashReport &report, int serial)
{
    PortTileModel &tile = m_tiles[port];
    tile.boards = serial;
    tile.result = report.result;
    tile.message = report.message;
    tile.verdict = verdict_of(report.result);
    emit tileChanged(port);
    emit totalsChanged();
    emit boardFinished(port);
}

void StationController::onEnded(int exit_code)
{
    m_exit_code = exit_code;
    m_serving = false;
    for (PortTileModel &tile : m_tiles) {
        if (tile.activity != Activity::Verdict) {
            tile.activity = Activity::Stopped; // a run refused never reached its lanes
        }
    }
    for (int port = 0; port < m_tiles.size(); ++port) {
        emit tileChanged(port);
    }
    m_hourly_rate.stop();
    emit totalsChanged();
    emit servingChanged(false);
    emit ended(exit_code);
}
