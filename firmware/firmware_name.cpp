#include "firmware/firmware_name.h"

#include <QFileInfo>
#include <QStringList>

const QString FIRMWARE_MARKER = QStringLiteral("_V");
const QString FIRMWARE_FILTER = QStringLiteral("*.bin");

namespace {
const QChar PIECE_SEPARATOR = QLatin1Char('_');
const QString FIRMWARE_EXTENSION = QStringLiteral(".bin");
constexpr int MODEL_PIECE = 0;
constexpr int VERSION_PIECE = 1;
// The version piece opens with the "V" of the marker, which is not part of
// the version.
constexpr int VERSION_START_IN_PIECE = 1;
} // namespace

QString file_name_of(const QString &path)
{
    // The platform's own rule: "\" separates on Windows and is an ordinary
    // character of a name elsewhere.
    return QFileInfo(path).fileName();
}

QString version_from_identity_text(const QString &text, bool *found)
{
    const QStringList pieces = text.split(PIECE_SEPARATOR, Qt::KeepEmptyParts);
    const bool long_enough =
        pieces.size() > VERSION_PIECE && pieces.at(VERSION_PIECE).size() > FIRMWARE_VERSION_LENGTH;
    if (found) {
        *found = long_enough;
    }
    if (!long_enough) {
        return QString();
    }
    return pieces.at(VERSION_PIECE).mid(VERSION_START_IN_PIECE, FIRMWARE_VERSION_LENGTH);
}

FirmwareIdentity identity_from_file_name(const QString &path)
{
    FirmwareIdentity identity;
    const QString name = file_name_of(path);
    identity.has_marker = name.contains(FIRMWARE_MARKER, Qt::CaseSensitive);
    if (!identity.has_marker) {
        return identity;
    }
    identity.model = name.section(PIECE_SEPARATOR, MODEL_PIECE, MODEL_PIECE);
    identity.version = version_from_identity_text(name, &identity.has_version);
    return identity;
}

QString query_text_from_path(const QString &path)
{
    QString name = file_name_of(path);
    name.remove(FIRMWARE_EXTENSION, Qt::CaseSensitive);
    if (name.size() > FIRMWARE_VERSION_LENGTH) {
        return name.right(FIRMWARE_VERSION_LENGTH);
    }
    return QString();
}

bool path_has_marker(const QString &path)
{
    return path.contains(FIRMWARE_MARKER, Qt::CaseSensitive);
}

QString encrypted_file_name(const QString &plain_file_name)
{
    QString name = plain_file_name;
    return name.replace(PIECE_SEPARATOR, FIRMWARE_MARKER);
}

QString encrypted_output_path(const QString &output_dir, const QString &plain_path)
{
    QString path = output_dir;
    if (!path.endsWith(QLatin1Char('/'))) {
        path += QLatin1Char('/');
    }
    return path + encrypted_file_name(file_name_of(plain_path));
}
