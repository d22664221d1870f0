#include "tools/sim/link_guard.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

LinkGuard::~LinkGuard()
{
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
    }
}

bool LinkGuard::create(const QString &path, const QString &target)
{
    const QByteArray name = QFile::encodeName(path);
    if (QFileInfo(path).isSymLink()) {
        ::unlink(name.constData());
    }
    if (::symlink(QFile::encodeName(target).constData(), name.constData()) != 0) {
        return false;
    }
    m_path = path;
    return true;
}
