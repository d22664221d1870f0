#ifndef KT62_PORT_LIST_H
#define KT62_PORT_LIST_H

#include <QStringList>
#include <functional>

// Names of the serial ports present, in the order the platform reports them
// (duplicates included). A replacement source can be installed, which is how
// the port box is exercised without real hardware; an empty function restores
// the platform's list.
QStringList available_port_names();
void set_port_name_source(std::function<QStringList()> source);

#endif
