#include "history/history_target.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
const QStringList URL_SCHEMES = {"postgresql://", "postgres://"};
constexpr int MAX_PORT = 65535;
const QRegularExpression OPTION_KEY("^[a-z_]+$");
// libpq reads the options as key=value words, and Qt parts them at ";".
const QRegularExpression UNUSABLE_VALUE("[\\s;'\\\\]");
const QRegularExpression BAD_ESCAPE("%(?![0-9A-Fa-f]{2})");

// Percent-decodes text; false when a "%" is not followed by two hex digits.
bool decoded(const QString &text, const QString &part, QString *out, QString *error)
{
    if (text.contains(BAD_ESCAPE)) {
        *error = QStringLiteral("bad percent-encoding in the %1 of the history URL").arg(part);
        return false;
    }
    *out = QUrl::fromPercentEncoding(text.toUtf8());
    return true;
}

bool parse_port(const QString &text, int *port, QString *error)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > MAX_PORT || text.startsWith('+')) {
        *error = QStringLiteral("the port \"%1\" of the history URL is not a number from 1 to %2")
                     .arg(text, QString::number(MAX_PORT));
        return false;
    }
    *port = value;
    return true;
}

// host[:port], the host bracketed when it is an IPv6 address.
bool parse_host_port(const QString &text, HistoryTarget *t, QString *error)
{
    QString host = text;
    QString port;
    bool has_port = false;
    if (text.startsWith('[')) {
        const int close = text.indexOf(']');
        const QString after = close < 0 ? QString() : text.mid(close + 1);
        if (close < 0 || !(after.isEmpty() || after.startsWith(':'))) {
            *error = QStringLiteral("the host of the history URL has an unclosed \"[\" or text "
                                    "after its \"]\"");
            return false;
        }
        host = text.mid(1, close - 1);
        has_port = !after.isEmpty();
        port = after.mid(1);
    } else {
        const int colon = text.indexOf(':');
        has_port = colon >= 0;
        host = text.left(colon);
        port = text.mid(colon + 1);
    }
    if (host.contains(',')) {
        *error = QStringLiteral("the history URL names several hosts; give one");
        return false;
    }
    return decoded(host, "host", &t->host, error) &&
           (!has_port || parse_port(port, &t->port, error));
}

bool parse_authority(const QString &text, HistoryTarget *t, QString *error)
{
    const int at = text.lastIndexOf('@');
    if (at >= 0) {
        const QString user_info = text.left(at);
        const int colon = user_info.indexOf(':');
        if (!decoded(user_info.left(colon), "user", &t->user, error) ||
            (colon >= 0 && !decoded(user_info.mid(colon + 1), "password", &t->password, error))) {
            return false;
        }
    }
    return parse_host_port(text.mid(at + 1), t, error);
}

bool parse_options(const QString &query, HistoryTarget *t, QString *error)
{
    for (const QString &pair : query.split('&', Qt::SkipEmptyParts)) {
        const QString key = pair.section('=', 0, 0);
        if (!pair.contains('=') || !OPTION_KEY.match(key).hasMatch()) {
            *error =
                QStringLiteral("the option \"%1\" of the history URL is not key=value").arg(pair);
            return false;
        }
        QString value;
        if (!decoded(pair.section('=', 1), "option " + key, &value, error)) {
            return false;
        }
        if (value.isEmpty() || value.contains(UNUSABLE_VALUE)) {
            *error = QStringLiteral("the option %1 of the history URL has an empty value or one "
                                    "with a space, quote, backslash or \";\"")
                         .arg(key);
            return false;
        }
        t->options << key + '=' + value;
    }
    return true;
}

bool parse_url(const QString &rest, HistoryTarget *t, QString *error)
{
    const int query_at = rest.indexOf('?');
    const QString before_query = rest.left(query_at);
    const int slash = before_query.indexOf('/');
    const QString authority = before_query.left(slash);
    if (!parse_authority(authority, t, error)) {
        return false;
    }
    if (slash >= 0 && !decoded(before_query.mid(slash + 1), "database", &t->database, error)) {
        return false;
    }
    if (t->database.contains('/')) {
        *error = QStringLiteral("the database \"%1\" of the history URL holds a \"/\"; "
                                "percent-encode a socket folder in the host")
                     .arg(t->database);
        return false;
    }
    return query_at < 0 || parse_options(rest.mid(query_at + 1), t, error);
}
} // namespace

QString HistoryTarget::driver() const
{
    return kind == Kind::Postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
}

QString HistoryTarget::display() const
{
    if (kind == Kind::Sqlite) {
        return path;
    }
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty()) {
        text += QUrl::toPercentEncoding(user) + '@';
    }
    text += host.contains(':') ? '[' + host + ']' : QString(QUrl::toPercentEncoding(host));
    if (port > 0) {
        text += ':' + QString::number(port);
    }
    return text + '/' + QUrl::toPercentEncoding(database);
}

bool parse_history_target(const QString &text, HistoryTarget *target, QString *error)
{
    *target = HistoryTarget();
    error->clear();
    if (text.isEmpty()) {
        *error = QStringLiteral("the history target is empty: give an SQLite file or a "
                                "postgresql:// URL");
        return false;
    }
    for (const QString &scheme : URL_SCHEMES) {
        if (text.startsWith(scheme, Qt::CaseInsensitive)) {
            target->kind = HistoryTarget::Kind::Postgres;
            return parse_url(text.mid(scheme.size()), target, error);
        }
    }
    target->path = text;
    return true;
}
