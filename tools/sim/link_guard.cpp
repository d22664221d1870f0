#include "tools/sim/link_guard.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
// Where the link at path leads, as written in it; empty when path is no link.
QString link_target(const QString &path)
{
    return QFileInfo(path).isSymLink() ? QFile::symLinkTarget(path) : QString();
}
} // namespace

LinkGuard::~LinkGuard()
{
    // Another simulator may have taken the name over since (after this one's
    // pty was gone from it); its link is not this one's to remove.
    if (!m_path.isEmpty() && link_target(m_path) == m_target) {
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

bool LinkGuard::create(const QString &path, const QString &target, QString *why)
{
    const QByteArray name = QFile::encodeName(path);
    const QFileInfo existing(path);
    if (existing.isSymLink()) {
        // exists() follows the link: false for a link to nothing.
        const QString leads_to = link_target(path);
        if (existing.exists() && leads_to != target) {
            *why = QStringLiteral("%1 leads to %2, which is there; is another kt62-sim serving "
                                  "it?")
                       .arg(path, leads_to);
            return false;
        }
        ::unlink(name.constData());
    } else if (existing.exists()) {
        *why = QStringLiteral("%1 exists and is not a link").arg(path);
        return false;
    }
    // Fails when another simulator made the name in the meantime.
    if (::symlink(QFile::encodeName(target).constData(), name.constData()) != 0) {
        *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_path = path;
    m_target = QFile::symLinkTarget(path);
    return true;
}
