#ifndef KT62_LINK_GUARD_H
#define KT62_LINK_GUARD_H

#include <QString>

// A symlink to the pty under a fixed name, so that tests and scripts need
// not read the pty's name; removed again when the guard goes.
class LinkGuard
{
public:
    LinkGuard() = default;
    ~LinkGuard();
    LinkGuard(const LinkGuard &) = delete;
    LinkGuard &operator=(const LinkGuard &) = delete;

    // Makes path a link to target. A stale link from an earlier run is
    // replaced; anything else is kept, and false returned.
    bool create(const QString &path, const QString &target);

private:
    QString m_path;
};

#endif
