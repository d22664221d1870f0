#include "firmware/file_target.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <QFile>
#include <sys/stat.h>
#endif

namespace {
QString refusal(const QString &path, const QString &kind)
{
    const QString refused = QStringLiteral("%1: not a regular file").arg(path);
    return kind.isEmpty() ? refused : refused + QStringLiteral(" (%1)").arg(kind);
}
} // namespace

#ifdef Q_OS_UNIX
QString output_file_refusal(const QString &path)
{
    struct stat facts = {};
    // stat() follows links: a link is judged by what it leads to, and a link
    // to nothing (or no file at all) is a new file.
    if (::stat(QFile::encodeName(path).constData(), &facts) != 0 || S_ISREG(facts.st_mode)) {
        return QString();
    }
    if (S_ISDIR(facts.st_mode)) {
        return refusal(path, QStringLiteral("a folder"));
    }
    if (S_ISCHR(facts.st_mode) || S_ISBLK(facts.st_mode)) {
        return refusal(path, QStringLiteral("a device"));
    }
    if (S_ISFIFO(facts.st_mode)) {
        return refusal(path, QStringLiteral("a FIFO"));
    }
    if (S_ISSOCK(facts.st_mode)) {
        return refusal(path, QStringLiteral("a socket"));
    }
    return refusal(path, QString());
}
#else
// Not on this system: no FIFOs or sockets in its file system; what is neither
// a file nor a folder (a device name) is refused without a kind.
QString output_file_refusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.isFile()) {
        return QString();
    }
    return refusal(path, info.isDir() ? QStringLiteral("a folder") : QString());
}
#endif
