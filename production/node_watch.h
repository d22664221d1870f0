#ifndef KT62_NODE_WATCH_H
#define KT62_NODE_WATCH_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QSocketNotifier;

// Notices that a port's device node, or a link to it, is removed or made
// anew, from the system's change notices on their folders. A look now and
// then can miss a board that was unplugged and another plugged in between
// two looks: a pseudo terminal's number is used again at once, with the same
// numbers. A notice is not missed, and a removal of the name means the board
// is gone, whatever is there by the time anybody looks. Changes to a node
// that stays (its times, its mode) are no removal.
//
// Linux only (inotify); elsewhere nothing is noticed, and the looks alone
// tell.
class NodeWatch : public QObject
{
    Q_OBJECT
public:
    explicit NodeWatch(QObject *parent = nullptr);
    ~NodeWatch() override;
    NodeWatch(const NodeWatch &) = delete;
    NodeWatch &operator=(const NodeWatch &) = delete;

    // Watches these paths from now on instead of the ones before; empty
    // paths are left out.
    void watch(const QStringList &paths);
    void clear();

signals:
    // One of the paths was removed, renamed or made anew, or its folder went.
    void removed();

private:
    void onNotice();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, QSet<QString>> m_names; // the names watched in each folder's watch
};

#endif
