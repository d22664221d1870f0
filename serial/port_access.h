#ifndef KT62_PORT_ACCESS_H
#define KT62_PORT_ACCESS_H

#include <QString>
#include <functional>
#include <optional>

// Why a port could not be opened, as far as its device node tells. QSerialPort
// reports a port that is busy or locked by another program as a permission
// error too, so a permission error alone does not say that this user lacks
// rights: the node itself does.
struct PortNodeFacts
{
    bool exists = false;
    bool accessible = false;       // readable and writable for this user
    QString group;                 // the group owning the node, e.g. "dialout"
    bool group_read_write = false; // members of that group may read and write it
};

// The device node behind a port name as typed, by the rule QSerialPort itself
// applies when opening it: a name starting with "/", "./" or "../" is a path
// (relative ones against the working directory), any other name is under
// /dev ("ttyUSB0", "pts/3"). Where ports have no node (Windows: "COM3") and
// for an empty name, an empty string.
QString port_device_node(const QString &port_name);

// The facts about port_name's node; none on systems other than Linux or where
// the port has no node.
std::optional<PortNodeFacts> port_node_facts(const QString &port_name);

// Replaces the look at the node (given its path) for tests, which run as root
// and so always find a node accessible; an empty function restores it.
void set_port_node_facts_source(
    std::function<std::optional<PortNodeFacts>(const QString &node)> source);

// The group to join so that the port opens: set only when the node exists,
// this user may not read and write it, and its group may.
std::optional<QString> group_to_join(const std::optional<PortNodeFacts> &facts);

// The flasher's explanation of a permission error on port_name, without the
// tool's name in front; empty when the node does not show a missing group
// membership (the port is busy or locked, or there are no facts):
//   permission denied on /dev/ttyUSB0: its device node belongs to the group
//   dialout; join it with "sudo usermod -aG dialout $USER", then log in again
//   (see "Serial port access" in the README)
QString permission_hint(const QString &port_name);

#endif
