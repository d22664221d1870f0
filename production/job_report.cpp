#include "production/job_report.h"

#include "common/units.h"

QString phase_name(UpgradePhase phase)
{
    switch (phase) {
    case UpgradePhase::Querying:
        return QStringLiteral("query");
    case UpgradePhase::Erasing:
        return QStringLiteral("erase");
    case UpgradePhase::Transfer:
        return QStringLiteral("transfer");
    case UpgradePhase::Completion:
        return QStringLiteral("completion");
    case UpgradePhase::Idle:
    case UpgradePhase::CheckDone:
        break;
    }
    return QString();
}

QString job_mode_name(JobMode mode)
{
    switch (mode) {
    case JobMode::Upgrade:
        return QStringLiteral("upgrade");
    case JobMode::CheckVersion:
        return QStringLiteral("check-version");
    }
    return QString();
}

QString job_result_name(JobResult result)
{
    switch (result) {
    case JobResult::None:
        break;
    case JobResult::Success:
        return QStringLiteral("success");
    case JobResult::DeviceFailure:
        return QStringLiteral("device failure");
    case JobResult::BadInput:
        return QStringLiteral("bad input");
    case JobResult::PortError:
        return QStringLiteral("port error");
    case JobResult::Timeout:
        return QStringLiteral("timeout");
    case JobResult::Skipped:
        return QStringLiteral("skipped");
    case JobResult::PrematureSuccess:
        return QStringLiteral("premature success");
    case JobResult::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}

QString seconds_text(qint64 ms)
{
    return QString::number(double(ms) / MS_PER_SECOND);
}

qint64 FlashReport::phase_ms(UpgradePhase phase) const
{
    const qint64 starts[REPORTED_PHASE_COUNT] = {0, erase_at, transfer_at, completion_at};
    for (int i = 0; i < REPORTED_PHASE_COUNT; ++i) {
        if (REPORTED_PHASES[i] != phase) {
            continue;
        }
        if (starts[i] < 0 || end_at < 0) {
            return -1;
        }
        for (int j = i + 1; j < REPORTED_PHASE_COUNT; ++j) {
            if (starts[j] >= 0) {
                return starts[j] - starts[i];
            }
        }
        return end_at - starts[i];
    }
    return -1;
}

qint64 FlashReport::phase_limit_ms(UpgradePhase phase) const
{
    // A version check ends with the query.
    if (mode == JobMode::CheckVersion && phase != UpgradePhase::Querying) {
        return -1;
    }
    return phase == UpgradePhase::Erasing ? erase_limit_ms : progress_limit_ms;
}

void RunTally::add(const FlashReport &board)
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
