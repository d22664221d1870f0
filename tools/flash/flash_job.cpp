#include "tools/flash/flash_job.h"

#include "firmware/firmware_name.h"
#include "serial/port_access.h"
#include "tools/flash/firmware_input.h"
#include "tools/flash/flash_exit.h"
#include "upgrade/protocol.h"

#include <QMetaObject>

namespace {
constexpr int PERCENT = 100;

// Only an answer that names a version, and names the image's, keeps the
// device from being erased.
bool answer_shows_version(const QString &answer, const QString &version)
{
    bool found = false;
    const QString current = version_from_identity_text(answer, &found);
    return found && !version.isEmpty() && current == version;
}

// QSerialPort reports a busy port as a permission error too: only the device
// node tells whether joining a group would help.
QString open_failure(const QString &port)
{
    const QString failure = QStringLiteral("cannot open the port %1").arg(port);
    const QString hint = permission_hint(port);
    return hint.isEmpty() ? failure : failure + QStringLiteral(": ") + hint;
}
} // namespace

FlashJob::FlashJob(const JobSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_engine(&m_channel, &m_nak_count, &m_firmware_file)
{
    m_report.mode = settings.mode;
    m_report.port = settings.port;
    m_report.file = settings.firmware;

    connect(&m_engine, &Upgrader::upgrade_info, this, &FlashJob::onInfo);
    connect(&m_engine, &Upgrader::upgrade_progress, this, &FlashJob::onProgress);
    connect(&m_engine, &Upgrader::upgrade_finished, this, &FlashJob::onUpgradeFinished);
    connect(&m_engine, &Upgrader::checkVersion_finished, this, &FlashJob::onCheckFinished);
    // Connected after the engine's own receiver: a chunk has been acted on
    // before it counts as a sign of life.
    connect(&m_channel, &GPI::data_ready, this, &FlashJob::onData);

    m_watchdog.setSingleShot(true);
    // A coarse timer may fire 5 % early; the limit given is a promise.
    m_watchdog.setTimerType(Qt::PreciseTimer);
    m_watchdog.setInterval(settings.timeout_ms);
    connect(&m_watchdog, &QTimer::timeout, this, &FlashJob::onSilence);
    if (settings.skip_same && settings.mode == JobMode::Upgrade) {
        // Asked with this run's own answer, so a version seen on an earlier
        // run or board never counts.
        m_engine.set_erase_gate([this](const QString &answer) {
            m_kept = answer_shows_version(answer, m_report.target_version);
            return !m_kept;
        });
    }
}

FlashJob::~FlashJob()
{
    // Left open, the port would keep its exclusive lock until the process
    // is gone; the next tool on the same device would be refused.
    disconnect(&m_channel, nullptr, this, nullptr);
    m_channel.closeSerialPort();
}

bool FlashJob::prepare(const FlashJob *loaded)
{
    const bool upgrade = m_settings.mode == JobMode::Upgrade;
    if (m_settings.firmware.isEmpty()) {
        return !upgrade;
    }
    const FirmwareInput input = check_firmware_input(m_settings.firmware);
    if (!input.ok) {
        refuse(input.error);
        return false;
    }
    m_firmware_file = m_settings.firmware;
    const FirmwareIdentity identity = identity_from_file_name(m_settings.firmware);
    m_report.device_model = identity.model;
    m_report.target_version = identity.version;
    m_report.size = input.size;
    // A version check only sends the name; the image itself is not needed.
    if (upgrade && !(loaded ? m_engine.adopt_table(loaded->m_engine) : m_engine.load_firmware())) {
        refuse(QStringLiteral("%1: cannot be read").arg(m_settings.firmware));
        return false;
    }
    m_report.size = upgrade ? qint64(m_engine.m_firmware_size) : input.size;
    m_report.packets = upgrade ? m_engine.m_packet_count : 0;
    return true;
}

void FlashJob::take_image(const FlashJob &prepared)
{
    m_firmware_file = prepared.m_firmware_file;
    m_report.file = prepared.m_report.file;
    m_report.device_model = prepared.m_report.device_model;
    m_report.target_version = prepared.m_report.target_version;
    m_report.size = prepared.m_report.size;
    m_report.packets = prepared.m_report.packets;
    if (m_settings.mode == JobMode::Upgrade) {
        m_engine.adopt_table(prepared.m_engine);
    }
}

void FlashJob::refuse(const QString &message)
{
    m_report.result = JobResult::BadInput;
    m_report.message = message;
    m_report.exit_code = EXIT_BAD_INPUT;
}

void FlashJob::start()
{
    m_clock.start();
    m_channel.openSerialPort(m_settings.port);
    if (!m_channel.isOpen()) {
        finish(EXIT_PORT_ERROR, JobResult::PortError, open_failure(m_settings.port));
        return;
    }
    // Only now: opening reports a closed port on its way to an open one.
    connect(&m_channel, &GPI::serial_status_changed, this, &FlashJob::onPortStatus);
    m_active = true;
    m_watchdog.start();
    if (m_settings.mode == JobMode::CheckVersion) {
        m_engine.start_check_version();
    } else if (!m_engine.start_upgrade()) {
        finish(EXIT_BAD_INPUT, JobResult::BadInput,
               QStringLiteral("%1: no firmware loaded").arg(m_settings.firmware));
        return;
    }
    notePhase();
}

void FlashJob::abort(JobResult result, int exit_code, const QString &message)
{
    if (!m_active) {
        return;
    }
    m_engine.stop_upgrade();
    finish(exit_code, result, message);
}

void FlashJob::notePhase()
{
    const UpgradePhase phase = m_engine.phase();
    if (!m_active || phase == m_phase) {
        return;
    }
    m_phase = phase;
    // A phase entered again (the device asks for the transfer once more)
    // starts again from then on.
    const qint64 now = m_clock.elapsed();
    switch (phase) {
    case UpgradePhase::Erasing:
        m_report.erase_at = now;
        break;
    case UpgradePhase::Transfer:
        m_report.transfer_at = now;
        break;
    case UpgradePhase::Completion:
        m_report.completion_at = now;
        break;
    case UpgradePhase::Idle:
    case UpgradePhase::Querying:
    case UpgradePhase::CheckDone:
        break;
    }
    emit phaseEntered(phase);
}

void FlashJob::onInfo(QString text)
{
    if (!m_active || text.isEmpty()) {
        return;
    }
    m_last_text = text;
    notePhase();
    emit status(text);
}

void FlashJob::onProgress(int percent)
{
    if (!m_active) {
        return;
    }
    notePhase();
    const qint64 total = m_engine.m_firmware_size;
    const qint64 bytes = qMin(total, qint64(m_engine.m_packet_id) * m_engine.m_packet_size);
    const qint64 since = m_report.transfer_at < 0 ? 0 : m_clock.elapsed() - m_report.transfer_at;
    emit progress(qBound(0, percent, PERCENT), bytes, total, since);
}

void FlashJob::onUpgradeFinished()
{
    if (!m_active) {
        return;
    }
    notePhase();
    if (m_kept) {
        const QString kept = QStringLiteral("The device already runs %1; nothing was erased")
                                 .arg(m_report.target_version);
        emit status(kept);
        finish(EXIT_UPGRADE_OK, JobResult::Skipped, kept);
    } else if (m_engine.last_result() == UPGRADE_RESULT_OK) {
        finish(EXIT_UPGRADE_OK, JobResult::Success, m_last_text);
    } else {
        finish(EXIT_DEVICE_FAILURE, JobResult::DeviceFailure,
               QStringLiteral("the device reported failure"));
    }
}

void FlashJob::onCheckFinished()
{
    // The engine leaves a finished check marked as running; its user ends it.
    m_engine.m_running = false;
    if (m_active) {
        notePhase();
        finish(EXIT_UPGRADE_OK, JobResult::Success, m_last_text);
    }
}

void FlashJob::onData()
{
    if (m_active) {
        notePhase();
        m_watchdog.start();
    }
}

void FlashJob::onPortStatus(bool connected)
{
    if (!m_active || connected) {
        return;
    }
    m_engine.stop_upgrade();
    finish(EXIT_PORT_ERROR, JobResult::PortError,
           QStringLiteral("lost the port %1").arg(m_settings.port));
}

void FlashJob::onSilence()
{
    if (!m_active) {
        return;
    }
    m_engine.stop_upgrade();
    finish(EXIT_TIMEOUT, JobResult::Timeout,
           QStringLiteral("no answer from the device for %1 s")
               .arg(double(m_settings.timeout_ms) / 1000.0));
}

void FlashJob::fillTransferFigures()
{
    m_report.current_version = m_engine.m_current_version;
    m_report.naks = m_nak_count;
    m_report.blocks_sent = m_engine.m_blocks_sent;
    if (m_report.transfer_at < 0) {
        return;
    }
    m_report.blocks_acknowledged = qMin<qint64>(m_engine.m_packet_id, m_engine.m_packet_count);
    // A run cut short has usually sent the block it was waiting on once;
    // that one is no repeat.
    const bool complete = m_report.completion_at >= 0;
    const qint64 outstanding =
        !complete && m_report.blocks_sent > m_report.blocks_acknowledged ? 1 : 0;
    m_report.repeats =
        qMax<qint64>(0, m_report.blocks_sent - m_report.blocks_acknowledged - outstanding);
}

void FlashJob::finish(int exit_code, JobResult result, const QString &message)
{
    m_active = false;
    m_watchdog.stop();
    m_report.end_at = m_clock.elapsed();
    m_report.result = result;
    m_report.message = message;
    m_report.exit_code = exit_code;
    fillTransferFigures();
    disconnect(&m_channel, &GPI::serial_status_changed, this, &FlashJob::onPortStatus);
    // This may run inside the port's own read notification, with the engine
    // still walking the chunk: the port is closed (after sending what is
    // still queued, such as the cancel frame that ends a version check) on
    // the next pass of the event loop.
    QMetaObject::invokeMethod(
        this,
        [this, exit_code] {
            m_channel.closeSerialPort();
            emit finished(exit_code);
        },
        Qt::QueuedConnection);
}
