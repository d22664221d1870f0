#include "history/history_export.h"

#include <QAtomicInteger>
#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

namespace {
const QByteArray CSV_LINE_END = "\r\n"; // RFC 4180's, which spreadsheets expect
const QRegularExpression
    SINCE_FORM("^(\\d{4}-\\d{2}-\\d{2})(?:[T ](\\d{2}:\\d{2})(:\\d{2}(?:\\.\\d{1,3})?)?)?Z?$");
QAtomicInteger<quint64> reader_count;

QByteArray csv_field(const QVariant &value)
{
    if (value.isNull()) {
        return QByteArray();
    }
    if (value.userType() == QMetaType::Double) {
        return QByteArray::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
    }
    QByteArray text = value.toString().toUtf8();
    // A field with a separator, a quote or a line end is quoted, its quotes doubled.
    if (text.contains(',') || text.contains('"') || text.contains('\r') || text.contains('\n')) {
        text.replace("\"", "\"\"");
        text = '"' + text + '"';
    }
    return text;
}

QString select_sql(const HistoryFilter &filter)
{
    QString sql = QStringLiteral("SELECT %1 FROM %2").arg(board_columns().join(", "), BOARDS_TABLE);
    QStringList conditions;
    if (filter.since.isValid()) {
        conditions << "started >= ?";
    }
    if (!filter.result.isEmpty()) {
        conditions << "result = ?";
    }
    if (!conditions.isEmpty()) {
        sql += " WHERE " + conditions.join(" AND ");
    }
    return sql + " ORDER BY id";
}

bool read_rows(QSqlDatabase &db, const HistoryFilter &filter,
               const std::function<bool(const BoardRecord &)> &each, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(select_sql(filter));
    if (filter.since.isValid()) {
        query.addBindValue(history_time_text(filter.since));
    }
    if (!filter.result.isEmpty()) {
        query.addBindValue(filter.result);
    }
    if (!query.exec()) {
        *error = query.lastError().text().simplified();
        return false;
    }
    const int columns = board_columns().size();
    while (query.next()) {
        QVariantList values;
        values.reserve(columns);
        for (int i = 0; i < columns; ++i) {
            values << query.value(i);
        }
        if (!each(board_from_values(values))) {
            break;
        }
    }
    if (query.lastError().isValid()) {
        *error = query.lastError().text().simplified();
        return false;
    }
    return true;
}

bool read_with(const QString &name, const HistoryTarget &target, const HistoryFilter &filter,
               const std::function<bool(const BoardRecord &)> &each, QString *error,
               const HistoryLimits &limits)
{
    QSqlDatabase db = open_history_connection(target, name, limits, false, error);
    if (!error->isEmpty() || !prepare_schema(db, target, error)) {
        return false;
    }
    QString why;
    if (!read_rows(db, filter, each, &why)) {
        *error = QStringLiteral("cannot read the history %1: %2").arg(target.display(), why);
        return false;
    }
    return true;
}
} // namespace

bool parse_since(const QString &text, QDateTime *since, QString *error)
{
    const QRegularExpressionMatch match = SINCE_FORM.match(text.trimmed());
    if (match.hasMatch()) {
        const QString time = match.captured(2).isEmpty() ? QStringLiteral("00:00")
                                                         : match.captured(2) + match.captured(3);
        *since = QDateTime::fromString(match.captured(1) + 'T' + time + 'Z', Qt::ISODateWithMs);
    }
    if (!match.hasMatch() || !since->isValid()) {
        *error = QStringLiteral("--since takes a date or a date and time in UTC, as 2026-12-07 or "
                                "2026-12-07T10:30, not \"%1\"")
                     .arg(text);
        return false;
    }
    return true;
}

bool parse_export_format(const QString &text, ExportFormat *format, QString *error)
{
    if (text == QLatin1String("csv") || text == QLatin1String("json")) {
        *format = text == QLatin1String("csv") ? ExportFormat::Csv : ExportFormat::JsonLines;
        return true;
    }
    *error = QStringLiteral("--export takes csv or json, not \"%1\"").arg(text);
    return false;
}

bool read_history(const HistoryTarget &target, const HistoryFilter &filter,
                  const std::function<bool(const BoardRecord &)> &each, QString *error,
                  const HistoryLimits &limits)
{
    error->clear();
    const QString name =
        QStringLiteral("kt62_history_reader_%1").arg(reader_count.fetchAndAddRelaxed(1));
    const bool ok = read_with(name, target, filter, each, error, limits);
    QSqlDatabase::removeDatabase(name); // every handle on it is gone with read_with()
    return ok;
}

bool export_history(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format,
                    QIODevice *out, QString *error)
{
    bool written = format != ExportFormat::Csv || out->write(csv_header()) >= 0;
    const bool read = written && read_history(
                                     target, filter,
                                     [&](const BoardRecord &record) {
                                         const QByteArray line = format == ExportFormat::Csv
                                                                     ? csv_line(record)
                                                                     : json_line(record);
                                         written = out->write(line) == line.size();
                                         return written;
                                     },
                                     error);
    if (!written) {
        *error = QStringLiteral("cannot write the export: %1").arg(out->errorString());
        return false;
    }
    return read;
}

bool export_history(const HistoryTarget &target, const HistoryFilter &filter, ExportFormat format,
                    FILE *out, QString *error)
{
    QFile file;
    if (!file.open(out, QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the export: %1").arg(file.errorString());
        return false;
    }
    const bool ok = export_history(target, filter, format, &file, error);
    if (!file.flush() && ok) {
        *error = QStringLiteral("cannot write the export: %1").arg(file.errorString());
        return false;
    }
    return ok;
}

QByteArray csv_header()
{
    return board_columns().join(',').toUtf8() + CSV_LINE_END;
}

QByteArray csv_line(const BoardRecord &record)
{
    QByteArrayList fields;
    for (const QVariant &value : board_values(record)) {
        fields << csv_field(value);
    }
    return fields.join(',') + CSV_LINE_END;
}

QByteArray json_line(const BoardRecord &record)
{
    return QJsonDocument(board_to_json(record)).toJson(QJsonDocument::Compact) + '\n';
}
