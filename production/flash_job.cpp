#include "production/flash_job.h"

#include "common/units.h"
#include "firmware/firmware_name.h"
#include "production/exit_codes.h"
#include "production/firmware_input.h"
#include "serial/port_access.h"
#include "upgrade/protocol.h"

#include <QMetaObject>

namespace {
const QChar ANSWER_FIELD_SEPARATOR = QLatin1Char('_');
const QChar VERSION_MARK = QLatin1Char('V');

// Why the port did not open, as the channel tells it. Only a permission
// error on a node this user may not use (another program holding the port is
// told apart by the channel) names the group to join, when there is one.
QString open_failure(const QString &port, const GPI &channel)
{
    const QString failure = QStringLiteral("cannot open the port %1: ").arg(port);
    switch (channel.open_failure()) {
    case GPI::OpenFailure::Missing:
        return failure + QStringLiteral("no such port");
    case GPI::OpenFailure::InUse:
        return failure + QStringLiteral("in use by another program");
    case GPI::OpenFailure::Permission: {
        const QString hint = permission_hint(port);
        return failure + (hint.isEmpty() ? QStringLiteral("permission denied") : hint);
    }
    case GPI::OpenFailure::Other:
    case GPI::OpenFailure::None:
        break;
    }
    const QString text = channel.open_failure_text();
    return text.isEmpty() ? failure.chopped(2) : failure + text;
}
} // namespace

bool answer_names_image(const QString &answer, const QString &model, const QString &version)
{
    // Split whole: a version with more characters, a second dot-part or
    // another model is not the image's, whatever its first characters say.
    const QStringList fields = answer.split(ANSWER_FIELD_SEPARATOR, Qt::KeepEmptyParts);
    return !model.isEmpty() && !version.isEmpty() && fields.size() > 1 && fields.at(0) == model &&
           fields.at(1) == VERSION_MARK + version;
}

bool image_delivered(const Upgrader &engine)
{
    const int packets = engine.packet_count();
    return packets > 0 && engine.packets_sent() == packets &&
           engine.packets_acknowledged() == packets && engine.end_of_transmission_sent();
}

QString premature_success_message(const Upgrader &engine)
{
    return QStringLiteral("the device reported success before receiving the image (%1 of %2 "
                          "blocks acknowledged)")
        .arg(engine.packets_acknowledged())
        .arg(engine.packet_count());
}

FlashJob::FlashJob(const JobSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_engine(&m_channel, &m_nak_count, &m_firmware_file),
      m_watchdog(settings.timeout_ms, settings.erase_timeout_ms)
{
    m_report.mode = settings.mode;
    m_report.port = settings.port;
    m_report.file = settings.firmware;
    m_report.progress_limit_ms = settings.timeout_ms;
    if (settings.mode == JobMode::Upgrade) {
        m_report.erase_limit_ms = settings.erase_timeout_ms;
    }

    connect(&m_engine, &Upgrader::upgrade_info, this, &FlashJob::onInfo);
    connect(&m_engine, &Upgrader::upgrade_progress, this, &FlashJob::onProgress);
    connect(&m_engine, &Upgrader::upgrade_finished, this, &FlashJob::onUpgradeFinished);
    connect(&m_engine, &Upgrader::checkVersion_finished, this, &FlashJob::onCheckFinished);
    // Connected after the engine's own receiver: a chunk has been acted on
    // before the engine's state is looked at for progress.
    connect(&m_channel, &GPI::data_ready, this, &FlashJob::onData);
    connect(&m_watchdog, &ProgressWatchdog::expired, this, &FlashJob::onStalled);
    m_engine.set_query_hook([this] { m_watchdog.query_sent(); });
    if (settings.mode == JobMode::Upgrade) {
        // Asked with this run's own answers, so a version seen on an earlier
        // run or board never counts. Only the first answer may lead to an
        // erase: a device that answers again (twice in one write, or later
        // in the run) gets no second erase, nor one after a board it was
        // told to keep.
        m_engine.set_erase_gate([this](const QString &answer) {
            if (m_gate_asked) {
                m_answered_again = !m_kept;
                return false;
            }
            m_gate_asked = true;
            m_kept = m_settings.skip_same &&
                     answer_names_image(answer, m_report.device_model, m_report.target_version);
            m_erase_asked = !m_kept;
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

bool FlashJob::prepare()
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
    if (upgrade && !m_engine.load_firmware()) {
        refuse(QStringLiteral("%1: cannot be read").arg(m_settings.firmware));
        return false;
    }
    m_report.size = upgrade ? qint64(m_engine.firmware_size()) : input.size;
    m_report.packets = upgrade ? m_engine.packet_count() : 0;
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

bool FlashJob::open_port()
{
    m_clock.start();
    m_channel.openSerialPort(m_settings.port);
    if (!m_channel.isOpen()) {
        m_report.open_failure = m_channel.open_failure();
        return false;
    }
    // Only now: opening reports a closed port on its way to an open one.
    connect(&m_channel, &GPI::serial_status_changed, this, &FlashJob::onPortStatus,
            Qt::UniqueConnection);
    return true;
}

QString FlashJob::open_error() const
{
    return open_failure(m_settings.port, m_channel);
}

void FlashJob::start()
{
    if (!m_channel.isOpen() && !open_port()) {
        finish(EXIT_PORT_ERROR, JobResult::PortError, open_error());
        return;
    }
    m_active = true;
    if (m_settings.mode == JobMode::CheckVersion) {
        m_engine.start_check_version();
    } else if (!m_engine.start_upgrade()) {
        finish(EXIT_BAD_INPUT, JobResult::BadInput,
               QStringLiteral("%1: no firmware loaded").arg(m_settings.firmware));
        return;
    }
    m_watchdog.start(m_engine);
    notePhase();
}

void FlashJob::abort(JobResult result, int exit_code, const QString &message)
{
    if (!m_active) {
        return;
    }
    notePhase();
    stopWith(exit_code, result, message);
}

void FlashJob::interrupt(int signal_number, const QString &signal_name)
{
    abort(JobResult::Interrupted, EXIT_SIGNAL_BASE + signal_number,
          QStringLiteral("interrupted by %1").arg(signal_name));
}

void FlashJob::notePhase()
{
    if (m_active && m_settings.mode == JobMode::Upgrade && !m_erase_asked &&
        m_engine.packets_sent() > 0) {
        // A device that reports an erase's end before this run asked for one
        // (a late report of an earlier run's erase) and then takes the image
        // is not erased for it, and would be erased only after it.
        stopWith(EXIT_DEVICE_FAILURE, JobResult::DeviceFailure,
                 QStringLiteral("the device asked for the image before this run asked it to erase; "
                                "it may hold part of an image and must be upgraded again"));
        return;
    }
    if (m_active) {
        m_watchdog.observe(m_engine);
    }
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
    // The engine announces a good result as it arrives; a success the
    // run does not confirm is reported as what it is instead.
    if (m_engine.last_result() == UPGRADE_RESULT_OK &&
        (m_settings.mode == JobMode::CheckVersion || !delivered())) {
        return;
    }
    m_last_text = text;
    notePhase();
    emit status(text);
}

void FlashJob::onProgress()
{
    if (!m_active) {
        return;
    }
    notePhase();
    // Only blocks acknowledged after they left count, and only a count
    // beyond every earlier one of the run: a device that acknowledges what
    // it never took, or starts the transfer over, shows no progress.
    const int acknowledged = m_watchdog.record().acknowledged;
    if (acknowledged <= m_shown_acknowledged) {
        return;
    }
    m_shown_acknowledged = acknowledged;
    const qint64 total = m_engine.firmware_size();
    const qint64 bytes = qMin(total, qint64(acknowledged) * m_engine.packet_size());
    const int percent = total > 0 ? int(bytes * PERCENT / total) : 0;
    const qint64 since = m_report.transfer_at < 0 ? 0 : m_clock.elapsed() - m_report.transfer_at;
    emit progress(percent, bytes, total, since);
}

void FlashJob::onUpgradeFinished()
{
    if (!m_active) {
        return;
    }
    notePhase();
    if (m_answered_again) {
        finish(EXIT_DEVICE_FAILURE, JobResult::DeviceFailure,
               QStringLiteral("the device answered the query again after the erase was asked "
                              "for; it may be erased and must be upgraded again"));
    } else if (m_kept) {
        const QString kept = QStringLiteral("The device already runs %1; nothing was erased")
                                 .arg(m_report.target_version);
        emit status(kept);
        finish(EXIT_UPGRADE_OK, JobResult::Skipped, kept);
    } else if (m_engine.last_result() != UPGRADE_RESULT_OK) {
        finish(EXIT_DEVICE_FAILURE, JobResult::DeviceFailure,
               QStringLiteral("the device reported failure"));
    } else if (m_settings.mode == JobMode::CheckVersion) {
        // Only the device's firmware information answers a check.
        finish(EXIT_DEVICE_FAILURE, JobResult::PrematureSuccess,
               QStringLiteral("the device reported success instead of its firmware information"));
    } else if (!delivered()) {
        finish(EXIT_DEVICE_FAILURE, JobResult::PrematureSuccess,
               premature_success_message(m_engine));
    } else {
        finish(EXIT_UPGRADE_OK, JobResult::Success, m_last_text);
    }
}

bool FlashJob::delivered() const
{
    // The image counts only after the erase this run asked for.
    return m_erase_asked && image_delivered(m_engine);
}

void FlashJob::onCheckFinished()
{
    // The engine leaves a finished check marked as running; its user ends it.
    m_engine.end_check();
    if (m_active) {
        notePhase();
        finish(EXIT_UPGRADE_OK, JobResult::Success, m_last_text);
    }
}

void FlashJob::onData()
{
    notePhase();
}

void FlashJob::onPortStatus(bool connected)
{
    if (!m_active || connected) {
        return;
    }
    stopWith(EXIT_PORT_ERROR, JobResult::PortError,
             QStringLiteral("lost the port %1").arg(m_settings.port));
}

void FlashJob::onStalled(UpgradePhase phase, int limit_ms)
{
    if (!m_active) {
        return;
    }
    stopWith(EXIT_TIMEOUT, JobResult::Timeout, stall_message(phase, limit_ms, m_engine));
}

void FlashJob::fillTransferFigures()
{
    m_report.current_version = m_engine.current_version();
    m_report.naks = m_nak_count;
    m_report.blocks_sent = m_engine.blocks_sent();
    if (m_report.transfer_at < 0) {
        return;
    }
    // Only acknowledgements of blocks that had left: a device can ACK ahead.
    m_report.blocks_acknowledged = m_engine.packets_acknowledged();
    // Every copy after a block's first in this transfer is a repeat (the
    // blocks of a transfer the device started over count as sent again).
    // Counted from what was written, not from the ACKs: an ACK that earned
    // no credit does not make its block a repeat.
    m_report.repeats = qMax<qint64>(0, m_report.blocks_sent - m_engine.packets_sent());
}

// Settles the reason before the engine stops: stopping drops the queued
// output, and a port that fails under that reports its loss from inside the
// stop, which must not end the job a second time with another reason.
void FlashJob::stopWith(int exit_code, JobResult result, const QString &message)
{
    m_active = false;
    m_engine.stop_upgrade();
    finish(exit_code, result, message);
}

void FlashJob::finish(int exit_code, JobResult result, const QString &message)
{
    // A job ends once: its lane takes the finished job away at the first end.
    if (m_finished) {
        return;
    }
    m_finished = true;
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
