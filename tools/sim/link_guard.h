#ifndef KT62_LINK_GUARD_H
#define KT62_LINK_GUARD_H

#include <QString>

// A symlink to the pty under a fixed name, so that tests and scripts need
// not read the pty's name; removed again when the guard goes, but only while
// it still leads to this simulator's pty.
class LinkGuard
{
public:
    LinkGuard() = default;
    ~LinkGuard();
    LinkGuard(const LinkGuard &) = delete;
    LinkGuard &operator=(const LinkGuard &) = delete;

    // Makes path a link to target. A dead link (left by a simulator that
    // was killed) or one that already leads to target is replaced; a link
    // to a device that is there (another simulator serving it) and anything
    // else are kept, and false returned with *why set.
    bool create(const QString &path, const QString &target, QString *why);

private:
    QString m_path;
    QString m_target;
};

#endif
