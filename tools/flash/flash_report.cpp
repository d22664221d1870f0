#include "tools/flash/flash_report.h"

#include "firmware/file_target.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>

namespace {
constexpr double MS_PER_SECOND = 1000.0;
constexpr int PHASES = 4;
constexpr UpgradePhase REPORTED_PHASES[PHASES] = {UpgradePhase::Querying, UpgradePhase::Erasing,
                                                  UpgradePhase::Transfer, UpgradePhase::Completion};
} // namespace

QJsonValue text_or_null(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

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

QJsonObject FlashReport::toJson() const
{
    // A phase lasts from its own start to the start of the next phase that
    // was reached, or to the end of the run.
    const qint64 starts[PHASES] = {0, erase_at, transfer_at, completion_at};
    QStringList names;
    for (const UpgradePhase phase : REPORTED_PHASES) {
        names << phase_name(phase);
    }
    QJsonObject phases;
    for (int i = 0; i < PHASES; ++i) {
        if (starts[i] < 0 || end_at < 0) {
            phases.insert(names.at(i), QJsonValue());
            continue;
        }
        qint64 next = end_at;
        for (int j = i + 1; j < PHASES; ++j) {
            if (starts[j] >= 0) {
                next = starts[j];
                break;
            }
        }
        phases.insert(names.at(i), double(next - starts[i]) / MS_PER_SECOND);
    }
    phases.insert("total", end_at < 0 ? QJsonValue() : QJsonValue(double(end_at) / MS_PER_SECOND));
    // How long each phase may wait for its next step before the run gives up.
    QJsonObject limits;
    const qint64 limit_of[PHASES] = {progress_limit_ms, erase_limit_ms, progress_limit_ms,
                                     progress_limit_ms};
    // A version check ends with the query.
    const int phases_of_mode = mode == JobMode::CheckVersion ? 1 : PHASES;
    for (int i = 0; i < phases_of_mode; ++i) {
        if (limit_of[i] >= 0) {
            limits.insert(names.at(i), double(limit_of[i]) / MS_PER_SECOND);
        }
    }

    QJsonObject object;
    object.insert("mode", job_mode_name(mode));
    object.insert("port", port);
    object.insert("system_port", text_or_null(system_port));
    object.insert("file", text_or_null(file));
    object.insert("size", double(size));
    object.insert("packets", packets);
    object.insert("device_model", text_or_null(device_model));
    object.insert("current_version", text_or_null(current_version));
    object.insert("target_version", text_or_null(target_version));
    object.insert("naks", naks);
    object.insert("blocks_sent", double(blocks_sent));
    object.insert("blocks_acknowledged", double(blocks_acknowledged));
    object.insert("repeats", double(repeats));
    object.insert("phases", phases);
    object.insert("phase_limits", limits);
    object.insert("result", job_result_name(result));
    object.insert("message", message);
    object.insert("exit_code", exit_code);
    object.insert("attempts", attempts);
    return object;
}

bool write_json_file(const QJsonObject &object, const QString &path, QString *error)
{
    // Looked at again as it is written: the path was checked when the run
    // began, but a run can last long enough for it to become something else.
    const QString refusal = output_file_refusal(path);
    if (!refusal.isEmpty()) {
        *error = refusal;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool write_report(const QVector<FlashReport> &reports, int exit_code, const QString &path,
                  QString *error, const QString &message)
{
    QJsonArray ports;
    for (const FlashReport &report : reports) {
        ports.append(report.toJson());
    }
    QJsonObject run;
    run.insert("exit_code", exit_code);
    if (!message.isEmpty()) {
        run.insert("message", message);
    }
    run.insert("ports", ports);
    return write_json_file(run, path, error);
}
