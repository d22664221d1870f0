#include "tools/flash/report_file.h"

#include "common/units.h"
#include "firmware/file_target.h"
#include "production/exit_codes.h"
#include "tools/flash/cli_output.h"

#include <QJsonDocument>
#include <QSaveFile>

namespace {
QJsonValue seconds_or_null(qint64 ms)
{
    return ms < 0 ? QJsonValue() : QJsonValue(double(ms) / MS_PER_SECOND);
}
} // namespace

QJsonValue text_or_null(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject report_json(const FlashReport &report)
{
    QJsonObject phases;
    QJsonObject limits;
    for (const UpgradePhase phase : REPORTED_PHASES) {
        phases.insert(phase_name(phase), seconds_or_null(report.phase_ms(phase)));
        // How long each phase may wait for its next step before the run gives up.
        if (report.phase_limit_ms(phase) >= 0) {
            limits.insert(phase_name(phase), seconds_or_null(report.phase_limit_ms(phase)));
        }
    }
    phases.insert("total", seconds_or_null(report.end_at));
    return QJsonObject{
        {"mode", job_mode_name(report.mode)},
        {"port", report.port},
        {"system_port", text_or_null(report.system_port)},
        {"file", text_or_null(report.file)},
        {"size", double(report.size)},
        {"packets", report.packets},
        {"device_model", text_or_null(report.device_model)},
        {"current_version", text_or_null(report.current_version)},
        {"target_version", text_or_null(report.target_version)},
        {"naks", report.naks},
        {"blocks_sent", double(report.blocks_sent)},
        {"blocks_acknowledged", double(report.blocks_acknowledged)},
        {"repeats", double(report.repeats)},
        {"phases", phases},
        {"phase_limits", limits},
        {"result", job_result_name(report.result)},
        {"message", report.message},
        {"exit_code", report.exit_code},
        {"attempts", report.attempts},
    };
}

QJsonObject tally_json(const RunTally &tally)
{
    return QJsonObject{{"served", tally.served},
                       {"succeeded", tally.succeeded},
                       {"failed", tally.failed},
                       {"skipped", tally.skipped}};
}

QJsonObject ports_report(const QVector<FlashReport> &reports, int exit_code, const QString &message)
{
    QJsonArray ports;
    for (const FlashReport &report : reports) {
        ports.append(report_json(report));
    }
    QJsonObject run{{"exit_code", exit_code}, {"ports", ports}};
    if (!message.isEmpty()) {
        run.insert("message", message);
    }
    return run;
}

QJsonObject station_report(const RunTally &tally, const QJsonArray &devices, int exit_code)
{
    return QJsonObject{
        {"exit_code", exit_code}, {"summary", tally_json(tally)}, {"devices", devices}};
}

bool write_report(const QJsonObject &report, const QString &path)
{
    if (path.isEmpty()) {
        return true;
    }
    // Looked at again as it is written: the path was checked when the run
    // began, but a run can last long enough for it to become something else.
    QString error = output_file_refusal(path);
    if (error.isEmpty()) {
        QSaveFile file(path);
        if (file.open(QIODevice::WriteOnly) &&
            file.write(QJsonDocument(report).toJson(QJsonDocument::Indented)) >= 0 &&
            file.commit()) {
            return true;
        }
        error = file.errorString();
    }
    fail(report.value("exit_code").toInt(),
         QStringLiteral("cannot write the report %1: %2").arg(path, error));
    return false;
}
