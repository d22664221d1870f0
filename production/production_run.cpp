#include "production/production_run.h"

#include "common/units.h"
#include "history/history.h"
#include "production/exit_codes.h"
#include "production/firmware_input.h"
#include "production/operator_slips.h"
#include "production/stop_signals.h"
#include "serial/port_list.h"
#include "serial/port_select.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSysInfo>

namespace {

JobSettings job_settings(const RunSettings &settings)
{
    JobSettings job;
    job.mode = settings.mode;
    job.firmware = settings.firmware;
    job.timeout_ms = settings.timeout_ms;
    job.erase_timeout_ms = settings.erase_timeout_ms;
    job.skip_same = settings.skip_same;
    return job;
}

// The bytes that will be sent, as one digest: the table, not the file again.
QByteArray table_sha256(const Upgrader &engine)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    qint64 left = engine.firmware_size();
    for (const QByteArray &packet : engine.packets()) {
        const qint64 used = qMin<qint64>(left, packet.size());
        hash.addData(packet.constData(), int(used));
        left -= used;
    }
    return hash.result().toHex();
}

// The adapter's identity, when the port opened is a listed USB adapter.
QString usb_identity_of(const QString &system_port)
{
    for (const PortDetails &port : available_ports()) {
        const bool same = port.name == system_port || port.system_location == system_port;
        if (same && port.vendor_id && port.product_id) {
            UsbSelector selector{*port.vendor_id, *port.product_id, std::nullopt};
            if (!port.serial_number.isEmpty()) {
                selector.serial_number = port.serial_number;
            }
            return selector.text();
        }
    }
    return QString();
}

double phase_seconds(const FlashReport &report, UpgradePhase phase)
{
    const qint64 ms = report.phase_ms(phase);
    return ms < 0 ? -1.0 : double(ms) / MS_PER_SECOND;
}
} // namespace

ProductionRun::ProductionRun(const RunSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_image(job_settings(settings))
{
    FlashReport unstarted = m_image.report();
    for (const QString &port : settings.ports) {
        unstarted.port = port;
        m_reports << unstarted;
    }
}

ProductionRun::~ProductionRun() = default;

const FlashReport &ProductionRun::image() const
{
    return m_image.report();
}

QString ProductionRun::prepare()
{
    QString refusal = same_device_refusal(m_settings.ports);
    if (refusal.isEmpty() && !m_image.prepare()) {
        refusal = m_image.report().message;
    }
    if (refusal.isEmpty() && m_settings.mode == JobMode::Upgrade) {
        m_image_sha256 = table_sha256(m_image.engine());
        if (!m_settings.force) {
            // An image whose header does not match would be erased for and
            // then refused by the device: the board is left without
            // firmware. The table checked is the one that will be sent.
            const QString &file = m_image.report().file;
            const FirmwareInspection inspection = inspect_table(m_image.engine(), file);
            refusal = inspection.header_ok ? empty_image_refusal(file, inspection)
                                           : header_refusal(file, inspection);
        }
    }
    if (refusal.isEmpty()) {
        refusal = usb_refusal(m_settings.ports, m_settings.wait || m_settings.station);
    }
    if (refusal.isEmpty() && !m_settings.history.isEmpty()) {
        HistoryTarget target;
        refusal = history_target_refusal(m_settings.history, &target);
    }
    if (!refusal.isEmpty()) {
        for (FlashReport &report : m_reports) {
            const QString port = report.port;
            report = m_image.report();
            report.port = port;
            report.result = JobResult::BadInput;
            report.message = refusal;
            report.exit_code = EXIT_BAD_INPUT;
        }
    }
    return refusal;
}

void ProductionRun::start()
{
    if (m_settings.history.isEmpty()) {
        startLanes();
    } else {
        openHistory();
    }
}

void ProductionRun::refuse(const QString &message)
{
    for (FlashReport &report : m_reports) {
        report.result = JobResult::BadInput;
        report.message = message;
        report.exit_code = EXIT_BAD_INPUT;
    }
    m_ended = true;
    emit refused(message);
    emit ended(EXIT_BAD_INPUT);
}

void ProductionRun::openHistory()
{
    HistoryTarget target;
    QString error;
    if (!parse_history_target(m_settings.history, &target, &error)) {
        refuse(QStringLiteral("the history %1: %2").arg(m_settings.history, error));
        return;
    }
    m_history = std::make_unique<History>(target);
    connect(m_history.get(), &History::opened, this, [this](bool ok, const QString &reason) {
        if (m_stopped) {
            endWhenIdle(); // stopped while the history opened: nothing was begun
        } else if (ok) {
            startLanes();
        } else {
            refuse(reason);
        }
    });
    connect(m_history.get(), &History::failed, this, &ProductionRun::onHistoryFailed);
    connect(m_history.get(), &History::begun, this, &ProductionRun::onRowBegun);
    connect(m_history.get(), &History::completed, this, [this] {
        --m_writes;
        endWhenIdle();
    });
    m_history->open();
}

void ProductionRun::startLanes()
{
    LaneSettings settings;
    settings.job = job_settings(m_settings);
    settings.retries = m_settings.retries;
    settings.wait = m_settings.wait;
    settings.station = m_settings.station;
    settings.admission = m_history != nullptr;
    m_open = int(m_settings.ports.size());
    for (const QString &port : m_settings.ports) {
        Lane lane;
        lane.lane = std::make_unique<PortLane>(port, settings, m_image, m_served);
        m_lanes.push_back(std::move(lane));
        follow(int(m_lanes.size()) - 1);
    }
    for (const Lane &lane : m_lanes) {
        lane.lane->start();
    }
    // A lane can end as it starts (a USB identity gone meanwhile).
    endWhenIdle();
}

void ProductionRun::follow(int index)
{
    PortLane *lane = m_lanes[std::size_t(index)].lane.get();
    connect(lane, &PortLane::stateChanged, this,
            [this, index](PortLane::State state) { emit portState(index, state); });
    connect(lane, &PortLane::portProblem, this,
            [this, index](const FlashReport &failed) { emit portProblem(index, failed); });
    connect(lane, &PortLane::attemptStarted, this,
            [this, index](const FlashReport &attempt) { emit attemptStarted(index, attempt); });
    connect(lane, &PortLane::status, this,
            [this, index](const QString &text) { emit portStatus(index, text); });
    connect(lane, &PortLane::phaseEntered, this,
            [this, index](UpgradePhase phase) { emit portPhase(index, phase); });
    connect(lane, &PortLane::progress, this,
            [this, index](int percent, qint64 bytes, qint64 total, qint64 elapsed_ms) {
                emit portProgress(index, percent, bytes, total, elapsed_ms);
            });
    connect(lane, &PortLane::boardArriving, this, [this, index] { onArriving(index); });
    connect(lane, &PortLane::boardFinished, this,
            [this, index](const FlashReport &report) { onBoard(index, report); });
}

BoardRecord ProductionRun::record(int index, const FlashReport &report) const
{
    BoardRecord row;
    row.started = history_time_from_text(m_lanes[std::size_t(index)].started);
    row.station =
        m_settings.station_name.isEmpty() ? QSysInfo::machineHostName() : m_settings.station_name;
    row.port = m_settings.ports.at(index);
    row.system_port = report.system_port;
    row.usb_identity =
        report.system_port.isEmpty() ? QString() : usb_identity_of(report.system_port);
    row.device_model = report.device_model;
    row.version_before = report.current_version;
    row.target_version = report.target_version;
    row.image_file = QFileInfo(report.file).fileName();
    row.image_sha256 = QString::fromLatin1(m_image_sha256);
    row.result = report.result == JobResult::None ? QString::fromLatin1(BOARD_STARTED)
                                                  : job_result_name(report.result);
    row.exit_code = report.result == JobResult::None ? -1 : report.exit_code;
    row.message = report.message;
    row.attempts = report.attempts;
    row.blocks_sent = report.blocks_sent;
    row.blocks_acknowledged = report.blocks_acknowledged;
    row.repeats = report.repeats;
    row.naks = report.naks;
    row.query_seconds = phase_seconds(report, UpgradePhase::Querying);
    row.erase_seconds = phase_seconds(report, UpgradePhase::Erasing);
    row.transfer_seconds = phase_seconds(report, UpgradePhase::Transfer);
    row.completion_seconds = phase_seconds(report, UpgradePhase::Completion);
    return row;
}

void ProductionRun::beginRow(int index, const FlashReport &report)
{
    Lane &lane = m_lanes[std::size_t(index)];
    lane.started = history_time_text(QDateTime::currentDateTimeUtc());
    lane.row_open = false;
    ++m_writes;
    lane.ticket = m_history->begin(record(index, report));
}

void ProductionRun::completeRow(Lane &lane, int index, const FlashReport &report)
{
    ++m_writes;
    m_history->complete(lane.ticket, record(index, report));
    lane.ticket = 0;
    lane.row_open = false;
}

void ProductionRun::onArriving(int index)
{
    if (m_history_failed || m_ending) {
        m_lanes[std::size_t(index)].lane->admit(false);
        return;
    }
    FlashReport arriving = m_image.report();
    arriving.port = m_settings.ports.at(index);
    beginRow(index, arriving);
}

void ProductionRun::onRowBegun(quint64 ticket, bool ok)
{
    --m_writes;
    for (int i = 0; i < int(m_lanes.size()); ++i) {
        Lane &lane = m_lanes[std::size_t(i)];
        if (lane.ticket != ticket) {
            continue;
        }
        lane.row_open = ok;
        if (!ok) {
            lane.ticket = 0;
            lane.ended.reset();
            lane.lane->admit(false);
        } else if (lane.ended) {
            completeRow(lane, i, *lane.ended);
            lane.ended.reset();
        } else if (!lane.lane->admit(true)) {
            // Stopped while its row was written: the board was never touched.
            FlashReport untouched = m_image.report();
            untouched.port = m_settings.ports.at(i);
            untouched.result = JobResult::Interrupted;
            untouched.message = QStringLiteral("stopped before the board was served");
            completeRow(lane, i, untouched);
        }
    }
    endWhenIdle();
}

void ProductionRun::onBoard(int index, const FlashReport &report)
{
    Lane &lane = m_lanes[std::size_t(index)];
    const int serial = ++lane.boards;
    m_reports[index] = report;
    m_tally.add(report);
    if (m_history && !m_history_failed && lane.ticket == 0) {
        // A port's run that never began (its port did not appear) has its row too.
        beginRow(index, report);
    }
    if (lane.ticket != 0 && lane.row_open) {
        completeRow(lane, index, report);
    } else if (lane.ticket != 0) {
        lane.ended = report;
    }
    if (!m_settings.station) {
        --m_open;
    }
    emit boardFinished(index, report, serial);
    endWhenIdle();
}

void ProductionRun::onHistoryFailed(const QString &reason, const QString &fallback)
{
    m_history_failed = true;
    emit historyFailed(reason, fallback);
    // No board may go untracked: the boards in progress finish (their rows
    // kept in the fallback file), no new one is taken.
    m_ending = true;
    for (const Lane &lane : m_lanes) {
        lane.lane->finish(QStringLiteral("not started: the history failed"));
    }
    endWhenIdle();
}

void ProductionRun::stop(JobResult result, int exit_code, const QString &message)
{
    if (m_stopped || m_ended) {
        return;
    }
    m_stopped = true;
    m_ending = true;
    m_stop_code = exit_code;
    for (const Lane &lane : m_lanes) {
        m_interrupted = m_interrupted || lane.lane->busy();
    }
    for (const Lane &lane : m_lanes) {
        lane.lane->stop(result, exit_code, message);
    }
    endWhenIdle();
}

void ProductionRun::interrupt(int signal_number)
{
    stop(JobResult::Interrupted, EXIT_SIGNAL_BASE + signal_number,
         QStringLiteral("interrupted by %1").arg(StopSignals::name(signal_number)));
}

void ProductionRun::finish()
{
    if (m_ending || m_ended) {
        return;
    }
    m_ending = true;
    for (const Lane &lane : m_lanes) {
        lane.lane->finish(QStringLiteral("not started: the run was ended"));
    }
    endWhenIdle();
}

bool ProductionRun::busy() const
{
    for (const Lane &lane : m_lanes) {
        if (lane.lane->busy()) {
            return true;
        }
    }
    return false;
}

int ProductionRun::exit_code() const
{
    int code = m_interrupted ? m_stop_code : m_tally.worst_exit_code;
    if (!m_settings.station) {
        for (const FlashReport &report : m_reports) {
            code = qMax(code, report.exit_code);
        }
    }
    return m_history_failed ? qMax(code, int(EXIT_HISTORY_FAILED)) : code;
}

void ProductionRun::endWhenIdle()
{
    const bool lanes_done = m_settings.station ? m_ending && !busy() : m_open == 0;
    if (m_ended || !lanes_done || m_writes > 0) {
        return;
    }
    m_ended = true;
    if (m_history) {
        m_history->close();
    }
    emit ended(exit_code());
}
