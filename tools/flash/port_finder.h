#ifndef KT62_PORT_FINDER_H
#define KT62_PORT_FINDER_H

#include "serial/port_list.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

// Where the port a --port argument stands for is right now. A port given by
// its name or path is there while its device node is; one given by its USB
// identity (usb:VVVV:PPPP[:SERIAL]) while exactly one listed port has it.
struct PortSighting
{
    enum class State
    {
        Present,
        Absent,
        Ambiguous, // a USB identity that several ports have: nothing may be sent
    };
    State state = State::Absent;
    QString system_port; // the name to open it by (the argument, or the port found)
    // Changes when the port is replaced under the same name: an unplugged
    // board's port that comes back, a pseudo terminal's number used again.
    QString identity;
    QString error; // why a USB identity found no port or several, for the user
};

// The ports the system lists, for every lane of a run: enumerated at most
// once per interval however many lanes look (an enumeration walks the
// system's devices).
class PortCatalog
{
public:
    const QList<PortDetails> &ports();

private:
    QList<PortDetails> m_ports;
    QElapsedTimer m_taken;
};

PortSighting sight_port(const QString &argument, PortCatalog &catalog);

// The first refusal among ports given by USB identity as a run begins: an
// identity that several ports have, or (when the run may not wait for it)
// none. Empty when every port may be used.
QString usb_refusal(const QStringList &ports, bool may_wait, PortCatalog &catalog);

#endif
