#include "history/board_record.h"

#include <QJsonValue>

const char *const BOARD_STARTED = "started";

namespace {
const QString TIME_FORMAT = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ");

QVariant text_value(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

QVariant time_value(const QDateTime &time)
{
    return time.isValid() ? QVariant(history_time_text(time)) : QVariant();
}

QVariant seconds_value(double seconds)
{
    return seconds < 0 ? QVariant() : QVariant(seconds);
}

QVariant code_value(int code)
{
    return code < 0 ? QVariant() : QVariant(code);
}

double seconds_from(const QVariant &value)
{
    return value.isNull() ? -1.0 : value.toDouble();
}
} // namespace

const QStringList &board_columns()
{
    static const QStringList columns = {"id",
                                        "started",
                                        "ended",
                                        "station",
                                        "port",
                                        "system_port",
                                        "usb_identity",
                                        "device_model",
                                        "version_before",
                                        "target_version",
                                        "image_file",
                                        "image_sha256",
                                        "result",
                                        "exit_code",
                                        "message",
                                        "attempts",
                                        "blocks_sent",
                                        "blocks_acknowledged",
                                        "repeats",
                                        "naks",
                                        "query_seconds",
                                        "erase_seconds",
                                        "transfer_seconds",
                                        "completion_seconds"};
    return columns;
}

QVariantList board_values(const BoardRecord &r)
{
    return {r.id < 0 ? QVariant() : QVariant(r.id),
            time_value(r.started),
            time_value(r.ended),
            text_value(r.station),
            text_value(r.port),
            text_value(r.system_port),
            text_value(r.usb_identity),
            text_value(r.device_model),
            text_value(r.version_before),
            text_value(r.target_version),
            text_value(r.image_file),
            text_value(r.image_sha256),
            text_value(r.result),
            code_value(r.exit_code),
            text_value(r.message),
            QVariant(r.attempts),
            QVariant(r.blocks_sent),
            QVariant(r.blocks_acknowledged),
            QVariant(r.repeats),
            QVariant(r.naks),
            seconds_value(r.query_seconds),
            seconds_value(r.erase_seconds),
            seconds_value(r.transfer_seconds),
            seconds_value(r.completion_seconds)};
}

BoardRecord board_from_values(const QVariantList &v)
{
    BoardRecord r;
    int at = 0;
    const auto next = [&v, &at] { return at < v.size() ? v.at(at++) : QVariant(); };
    const QVariant id = next();
    r.id = id.isNull() ? -1 : id.toLongLong();
    r.started = history_time_from_text(next().toString());
    r.ended = history_time_from_text(next().toString());
    r.station = next().toString();
    r.port = next().toString();
    r.system_port = next().toString();
    r.usb_identity = next().toString();
    r.device_model = next().toString();
    r.version_before = next().toString();
    r.target_version = next().toString();
    r.image_file = next().toString();
    r.image_sha256 = next().toString();
    r.result = next().toString();
    const QVariant code = next();
    r.exit_code = code.isNull() ? -1 : code.toInt();
    r.message = next().toString();
    r.attempts = next().toInt();
    r.blocks_sent = next().toLongLong();
    r.blocks_acknowledged = next().toLongLong();
    r.repeats = next().toLongLong();
    r.naks = next().toLongLong();
    r.query_seconds = seconds_from(next());
    r.erase_seconds = seconds_from(next());
    r.transfer_seconds = seconds_from(next());
    r.completion_seconds = seconds_from(next());
    return r;
}

QJsonObject board_to_json(const BoardRecord &record)
{
    QJsonObject object;
    const QVariantList values = board_values(record);
    for (int i = 0; i < values.size(); ++i) {
        object.insert(board_columns().at(i), QJsonValue::fromVariant(values.at(i)));
    }
    return object;
}

QString history_time_text(const QDateTime &time)
{
    return time.toUTC().toString(TIME_FORMAT);
}

QDateTime history_time_from_text(const QString &text)
{
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}
