#ifndef KT62_PORT_SCANNER_H
#define KT62_PORT_SCANNER_H

#include "serial/port_list.h"

#include <QObject>
#include <functional>
#include <memory>

// Answers "which serial ports are there?" as often as asked, but walks the
// system's devices only when the answer may have changed.
//
// The platform's enumeration is expensive (on Linux, at the port box's 300 ms
// cadence, some 48,000 sysfs and udev files opened every 5 s), while ports come
// and go rarely, and always with their device node. So the scanner watches the
// folder holding the nodes and enumerates again only after it changed:
// - the first scan always enumerates, with or without an event loop;
// - after a change of the folder every scan enumerates for SETTLE_MS, because
//   the node appears before udev has finished describing the port and goes
//   before the kernel has withdrawn it, so one enumeration right at the change
//   can still see the old state or a port without its USB identity;
// - however many ask at once (the port box, every lane of a station), one
//   enumeration answers every scan for FRESH_MS, settling included (only the
//   first scan after a change enumerates at once): a station of many ports
//   would otherwise enumerate once per port and look;
// - a scan enumerates at least once every SAFETY_INTERVAL_MS in case a change
//   went unnoticed;
// - without a folder to watch (not Linux, no such folder, no event dispatcher
//   in this thread to deliver change notices) every scan enumerates.
// Change notices arrive through the event loop of the thread that created the
// scanner; use it from that thread.
class QFileSystemWatcher;

class PortScanner : public QObject
{
    Q_OBJECT
public:
    using Enumeration = std::function<QList<PortDetails>()>;
    // Milliseconds on a monotonic clock; only differences matter.
    using Clock = std::function<qint64()>;

    static constexpr qint64 SAFETY_INTERVAL_MS = 60 * 1000;
    static constexpr qint64 SETTLE_MS = 2000;
    static constexpr qint64 FRESH_MS = 150;

    // An empty folder watches nothing; an empty clock uses a monotonic timer.
    PortScanner(const QString &watched_folder, Enumeration enumerate, Clock clock = {},
                QObject *parent = nullptr);

    // The scanner the program uses: on Linux watching /dev, elsewhere
    // watching nothing; the platform's enumeration.
    static std::unique_ptr<PortScanner> for_this_system();

    QList<PortDetails> scan();

    // Whether change notices are being received; false means every scan
    // enumerates.
    bool is_watching() const;

signals:
    // The watched folder changed: the next scan enumerates.
    void ports_may_have_changed();

private:
    void folder_changed();
    bool must_enumerate(qint64 now) const;

    Enumeration m_enumerate;
    Clock m_clock;
    QFileSystemWatcher *m_watcher = nullptr; // none while nothing is watched
    bool m_enumerated = false;
    bool m_changed = false;
    qint64 m_last_enumeration = 0;
    qint64 m_settle_until = 0;
    QList<PortDetails> m_ports;
};

// Replaces the scanner behind available_ports() and available_port_names()
// (tests give it a folder of their own, a counting enumeration and a clock);
// nullptr goes back to PortScanner::for_this_system(), created on next use.
void set_port_scanner(std::unique_ptr<PortScanner> scanner);

#endif
