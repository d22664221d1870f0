#include "tools/flash/json_events.h"

#include "common/units.h"
#include "production/exit_codes.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/report_file.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// One value as JSON text.
QByteArray json_text(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}
} // namespace

JsonEvents::JsonEvents(FILE *out) : m_out(out)
{
    m_clock.start();
}

void JsonEvents::write(const QString &event, const QString &port, qint64 at_ms,
                       const QJsonObject &fields)
{
    // The three keys every event has come first, for people reading along.
    QByteArray line = "{\"event\":" + json_text(event) +
                      ",\"port\":" + json_text(port.isNull() ? QJsonValue() : QJsonValue(port)) +
                      ",\"t\":" + json_text(double(at_ms) / MS_PER_SECOND);
    QJsonObject rest = fields;
    rest.remove(QStringLiteral("event"));
    rest.remove(QStringLiteral("port"));
    rest.remove(QStringLiteral("t"));
    if (!rest.isEmpty()) {
        const QByteArray object = QJsonDocument(rest).toJson(QJsonDocument::Compact);
        line += ',' + object.mid(1, object.size() - 2);
    }
    line += "}\n";
    if (m_closed) {
        return;
    }
    const bool written =
        std::fwrite(line.constData(), 1, size_t(line.size()), m_out) == size_t(line.size()) &&
        std::fflush(m_out) == 0;
    if (!written) {
        // The reader has gone (a script that read what it wanted): the run
        // itself, its report and its exit code go on as without --json.
        m_closed = true;
        fail(EXIT_UPGRADE_OK, QStringLiteral("the event stream was closed; the run goes on"));
    }
}

void JsonEvents::release(const QString &port)
{
    auto held = m_progress.find(port);
    if (held == m_progress.end() || !held->holding) {
        return;
    }
    held->holding = false;
    held->last_written_ms = held->at_ms;
    write(QStringLiteral("progress"), port, held->at_ms, held->fields);
}

void JsonEvents::start(const FlashReport &attempt)
{
    release(attempt.port);
    write(QStringLiteral("start"), attempt.port, m_clock.elapsed(),
          QJsonObject{
              {QStringLiteral("attempt"), attempt.attempts},
              {QStringLiteral("mode"), job_mode_name(attempt.mode)},
              {QStringLiteral("system_port"), text_or_null(attempt.system_port)},
              {QStringLiteral("file"), text_or_null(attempt.file)},
              {QStringLiteral("size"), double(attempt.size)},
              {QStringLiteral("packets"), attempt.packets},
              {QStringLiteral("device_model"), text_or_null(attempt.device_model)},
              {QStringLiteral("target_version"), text_or_null(attempt.target_version)},
          });
}

void JsonEvents::phase(const QString &port, UpgradePhase phase)
{
    const QString name = phase_name(phase);
    if (name.isEmpty()) {
        return;
    }
    release(port);
    write(QStringLiteral("phase"), port, m_clock.elapsed(),
          QJsonObject{{QStringLiteral("phase"), name}});
}

void JsonEvents::progress(const QString &port, int percent, qint64 bytes, qint64 total)
{
    HeldProgress &held = m_progress[port];
    held.at_ms = m_clock.elapsed();
    held.fields = QJsonObject{{QStringLiteral("bytes"), double(bytes)},
                              {QStringLiteral("total"), double(total)},
                              {QStringLiteral("percent"), percent}};
    held.holding = true;
    const qint64 interval = MS_PER_SECOND / MAX_PROGRESS_PER_SECOND;
    if (held.last_written_ms < 0 || held.at_ms - held.last_written_ms >= interval ||
        percent >= PERCENT) {
        release(port);
    }
}

void JsonEvents::result(const FlashReport &report)
{
    release(report.port);
    write(QStringLiteral("result"), report.port, m_clock.elapsed(), report_json(report));
    m_progress.remove(report.port);
}

void JsonEvents::device(const FlashReport &report, int serial)
{
    write(QStringLiteral("device"), report.port, m_clock.elapsed(),
          QJsonObject{{QStringLiteral("serial"), serial},
                      {QStringLiteral("result"), job_result_name(report.result)},
                      {QStringLiteral("exit_code"), report.exit_code},
                      {QStringLiteral("attempts"), report.attempts},
                      {QStringLiteral("message"), report.message}});
}

void JsonEvents::summary(const QJsonObject &tally, int exit_code)
{
    QJsonObject fields = tally;
    fields.insert(QStringLiteral("exit_code"), exit_code);
    write(QStringLiteral("summary"), QString(), m_clock.elapsed(), fields);
}
