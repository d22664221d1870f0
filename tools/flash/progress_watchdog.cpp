#include "tools/flash/progress_watchdog.h"

namespace {
constexpr double MS_PER_SECOND = 1000.0;

QString seconds(int ms)
{
    return QString::number(double(ms) / MS_PER_SECOND);
}
} // namespace

bool ProgressMark::operator==(const ProgressMark &other) const
{
    return phase == other.phase && packets_sent == other.packets_sent &&
           packets_acknowledged == other.packets_acknowledged &&
           end_of_transmission_sent == other.end_of_transmission_sent &&
           last_result == other.last_result;
}

ProgressMark progress_mark(const Upgrader &engine)
{
    ProgressMark mark;
    mark.phase = engine.phase();
    mark.packets_sent = engine.packets_sent();
    mark.packets_acknowledged = engine.packets_acknowledged();
    mark.end_of_transmission_sent = engine.end_of_transmission_sent();
    mark.last_result = engine.last_result();
    return mark;
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

ProgressWatchdog::ProgressWatchdog(int progress_limit_ms, int erase_limit_ms, QObject *parent)
    : QObject(parent), m_progress_limit_ms(progress_limit_ms), m_erase_limit_ms(erase_limit_ms)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire 5 % early; the limit given is a promise.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this,
            [this] { emit expired(m_mark.phase, int(m_timer.interval())); });
}

void ProgressWatchdog::start(const Upgrader &engine)
{
    m_mark = progress_mark(engine);
    arm();
}

void ProgressWatchdog::observe(const Upgrader &engine)
{
    if (!m_timer.isActive()) {
        return;
    }
    const ProgressMark mark = progress_mark(engine);
    if (mark != m_mark) {
        m_mark = mark;
        arm();
    }
}

void ProgressWatchdog::stop()
{
    m_timer.stop();
}

void ProgressWatchdog::arm()
{
    m_timer.start(m_mark.phase == UpgradePhase::Erasing ? m_erase_limit_ms : m_progress_limit_ms);
}

QString stall_message(UpgradePhase phase, int limit_ms, const Upgrader &engine)
{
    switch (phase) {
    case UpgradePhase::Querying:
        return QStringLiteral("no answer from the device for %1 s").arg(seconds(limit_ms));
    case UpgradePhase::Erasing:
        return QStringLiteral("the erase did not end within %1 s (--erase-timeout); the device "
                              "may be erased and must be upgraded again")
            .arg(seconds(limit_ms));
    case UpgradePhase::Transfer:
        return QStringLiteral("no progress in the transfer for %1 s (%2 of %3 blocks "
                              "acknowledged)")
            .arg(seconds(limit_ms))
            .arg(engine.packets_acknowledged())
            .arg(engine.packet_count());
    case UpgradePhase::Completion:
        return QStringLiteral("no result from the device for %1 s after the end of transmission")
            .arg(seconds(limit_ms));
    case UpgradePhase::Idle:
    case UpgradePhase::CheckDone:
        break;
    }
    return QStringLiteral("no progress for %1 s").arg(seconds(limit_ms));
}
