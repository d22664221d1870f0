#include "production/progress_watchdog.h"

#include "production/job_report.h"

bool ProgressRecord::advance(const Upgrader &engine)
{
    const UpgradePhase phase = engine.phase();
    const bool past_query = phase != UpgradePhase::Idle && phase != UpgradePhase::Querying;
    const bool past_erase = phase == UpgradePhase::Transfer || phase == UpgradePhase::Completion;
    const ProgressRecord before = *this;
    answered = answered || past_query || past_erase;
    erase_finished = erase_finished || past_erase;
    // The engine counts afresh when the device starts the transfer over;
    // only a count beyond every earlier one is new.
    acknowledged = qMax(acknowledged, engine.packets_acknowledged());
    end_of_transmission = end_of_transmission || engine.end_of_transmission_sent();
    result = result || engine.last_result() >= 0;
    return answered != before.answered || erase_finished != before.erase_finished ||
           acknowledged != before.acknowledged ||
           end_of_transmission != before.end_of_transmission || result != before.result;
}

ProgressWatchdog::ProgressWatchdog(int progress_limit_ms, int erase_limit_ms, QObject *parent)
    : QObject(parent), m_progress_limit_ms(progress_limit_ms), m_erase_limit_ms(erase_limit_ms)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire 5 % early; the limit given is a promise.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this,
            [this] { emit expired(m_phase, int(m_timer.interval())); });
}

void ProgressWatchdog::start(const Upgrader &engine)
{
    m_timer.stop();
    m_record = ProgressRecord();
    m_watching = true;
    m_phase = engine.phase();
    // A device that spoke before it was asked has made its step already.
    if (m_record.advance(engine)) {
        arm();
    }
}

void ProgressWatchdog::query_sent()
{
    // The run's own wait before its first query is no silence of the device.
    if (m_watching && !m_record.answered && !m_timer.isActive()) {
        arm();
    }
}

void ProgressWatchdog::observe(const Upgrader &engine)
{
    if (!m_watching) {
        return;
    }
    m_phase = engine.phase();
    if (m_record.advance(engine)) {
        arm();
    }
}

void ProgressWatchdog::stop()
{
    m_watching = false;
    m_timer.stop();
}

void ProgressWatchdog::arm()
{
    // Only the first erase may take minutes; a device that starts over has
    // shown that it answers.
    const bool erasing = m_phase == UpgradePhase::Erasing && !m_record.erase_finished;
    m_timer.start(erasing ? m_erase_limit_ms : m_progress_limit_ms);
}

QString stall_message(UpgradePhase phase, int limit_ms, const Upgrader &engine)
{
    switch (phase) {
    case UpgradePhase::Querying:
        return QStringLiteral("no answer from the device for %1 s").arg(seconds_text(limit_ms));
    case UpgradePhase::Erasing:
        return QStringLiteral("the erase did not end within %1 s (--erase-timeout); the device "
                              "may be erased and must be upgraded again")
            .arg(seconds_text(limit_ms));
    case UpgradePhase::Transfer:
        return QStringLiteral("no progress in the transfer for %1 s (%2 of %3 blocks "
                              "acknowledged)")
            .arg(seconds_text(limit_ms))
            .arg(engine.packets_acknowledged())
            .arg(engine.packet_count());
    case UpgradePhase::Completion:
        return QStringLiteral("no result from the device for %1 s after the end of transmission")
            .arg(seconds_text(limit_ms));
    case UpgradePhase::Idle:
    case UpgradePhase::CheckDone:
        break;
    }
    return QStringLiteral("no progress for %1 s").arg(seconds_text(limit_ms));
}
