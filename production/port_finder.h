#ifndef KT62_PORT_FINDER_H
#define KT62_PORT_FINDER_H

#include "serial/port_list.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// What the system knows a node by, on Unix: (device, inode) for any file,
// and for a character device also the device it stands for, shared by every
// node made for that device. Not known elsewhere, nor for a path with no node.
struct NodeNumbers
{
    bool known = false;
    bool character_device = false;
    quint64 device = 0;
    quint64 inode = 0;
    quint64 represents = 0;
};

NodeNumbers node_numbers(const QString &path);

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
    // The board behind the port: the node's canonical path and numbers, and
    // for a USB identity the adapter's serial number. It changes when the
    // node is made anew (another device or inode number) or another adapter
    // takes the name, never with the node's times or mode, which udev
    // changes when it applies its rules.
    QString identity;
    // The device itself, however it is named (a link, a second node): two
    // --port spellings with one device are one board.
    QString device;
    QString error; // why a USB identity found no port or several, for the user
};

// Which lane serves which device, for the lanes of one run: one device named
// twice (both spellings absent as the run began) is served by one lane only.
class ServedDevices
{
public:
    // The port (as given) whose lane serves device; empty when none does.
    QString server(const QString &device) const { return m_servers.value(device); }
    void claim(const QString &device, const QString &port) { m_servers.insert(device, port); }
    // The lane of port serves no device any more.
    void release(const QString &port);

private:
    QHash<QString, QString> m_servers; // device -> port
};

// Ports given by USB identity are looked up in the system's list, which is
// enumerated again only when the ports may have changed (port_scanner.h).
PortSighting sight_port(const QString &argument);

// The first refusal among ports given by USB identity as a run begins: an
// identity that several ports have, or (when the run may not wait for it)
// none. Empty when every port may be used.
QString usb_refusal(const QStringList &ports, bool may_wait);

#endif
