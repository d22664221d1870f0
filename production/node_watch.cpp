#include "production/node_watch.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <QFile>
#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX
namespace {
// A name leaving or arriving in the folder: a removal, a rename either way,
// a name made (after a removal the watch may have started too late to see).
// A changed node (IN_ATTRIB) is not among them.
constexpr quint32 NAME_EVENTS = IN_DELETE | IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO;
// The folder itself removed or moved: every name in it is gone.
constexpr quint32 FOLDER_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
constexpr int NOTICE_BUFFER = 4096;
} // namespace

NodeWatch::NodeWatch(QObject *parent) : QObject(parent)
{
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        return; // without notices the looks alone tell
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &NodeWatch::onNotice);
}

NodeWatch::~NodeWatch()
{
    if (m_fd >= 0) {
        delete m_notifier;
        ::close(m_fd);
    }
}

void NodeWatch::watch(const QStringList &paths)
{
    clear();
    if (m_fd < 0) {
        return;
    }
    for (const QString &path : paths) {
        if (path.isEmpty()) {
            continue;
        }
        const QFileInfo info(QDir::cleanPath(QDir::current().absoluteFilePath(path)));
        const int wd = inotify_add_watch(m_fd, QFile::encodeName(info.path()).constData(),
                                         NAME_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF);
        if (wd >= 0) {
            m_names[wd].insert(info.fileName());
        }
    }
}

void NodeWatch::clear()
{
    for (auto it = m_names.cbegin(); it != m_names.cend(); ++it) {
        inotify_rm_watch(m_fd, it.key());
    }
    m_names.clear();
}

void NodeWatch::onNotice()
{
    alignas(inotify_event) char buffer[NOTICE_BUFFER];
    bool gone = false;
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0) {
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const auto names = m_names.constFind(event->wd);
            if (names == m_names.cend()) {
                continue; // a watch given up before this notice was read
            }
            // A lost notice (IN_Q_OVERFLOW) tells nothing of this board; the
            // looks go on.
            const QString name = event->len > 0 ? QFile::decodeName(event->name) : QString();
            gone = gone || (event->mask & FOLDER_GONE) ||
                   ((event->mask & NAME_EVENTS) && names->contains(name));
        }
    }
    if (gone) {
        emit removed();
    }
}
#else
// Not on this system: no notices; the looks alone tell.
NodeWatch::NodeWatch(QObject *parent) : QObject(parent) {}

NodeWatch::~NodeWatch() = default;

void NodeWatch::watch(const QStringList &) {}

void NodeWatch::clear() {}

void NodeWatch::onNotice() {}
#endif
