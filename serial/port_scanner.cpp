#include "serial/port_scanner.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QFileSystemWatcher>

namespace {
PortScanner::Clock monotonic_clock()
{
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    return [timer] { return timer->elapsed(); };
}
} // namespace

PortScanner::PortScanner(const QString &watched_folder, Enumeration enumerate, Clock clock,
                         QObject *parent)
    : QObject(parent), m_enumerate(std::move(enumerate)),
      m_clock(clock ? std::move(clock) : monotonic_clock())
{
    // Change notices come through this thread's event dispatcher; without one
    // (a tool that has not created its application object) nothing would ever
    // report a change, so every scan enumerates instead.
    if (watched_folder.isEmpty() || !QAbstractEventDispatcher::instance()) {
        return;
    }
    m_watcher = new QFileSystemWatcher(this);
    if (!m_watcher->addPath(watched_folder)) {
        delete m_watcher;
        m_watcher = nullptr;
        return;
    }
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &PortScanner::folder_changed);
}

std::unique_ptr<PortScanner> PortScanner::for_this_system()
{
#ifdef Q_OS_LINUX
    // Every serial port has its node here, and inotify reports it coming and
    // going; sysfs, where the enumeration looks, reports nothing.
    const QString folder = QStringLiteral("/dev");
#else
    // No folder here reliably announces ports: enumerate on every scan.
    const QString folder;
#endif
    return std::make_unique<PortScanner>(folder, enumerate_system_ports);
}

QList<PortDetails> PortScanner::scan()
{
    const qint64 now = m_clock();
    if (must_enumerate(now)) {
        m_ports = m_enumerate();
        m_enumerated = true;
        m_changed = false;
        m_last_enumeration = now;
    }
    return m_ports;
}

bool PortScanner::is_watching() const
{
    // A folder that was removed drops out of the watcher's list.
    return m_watcher && !m_watcher->directories().isEmpty();
}

bool PortScanner::must_enumerate(qint64 now) const
{
    // The first scan after a change notice sees the change at once.
    if (!m_enumerated || m_changed) {
        return true;
    }
    if (now - m_last_enumeration < FRESH_MS) {
        return false;
    }
    return !is_watching() || now < m_settle_until || now - m_last_enumeration >= SAFETY_INTERVAL_MS;
}

void PortScanner::folder_changed()
{
    m_changed = true;
    m_settle_until = m_clock() + SETTLE_MS;
    emit ports_may_have_changed();
}
