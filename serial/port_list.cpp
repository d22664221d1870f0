#include "serial/port_list.h"

#include <QSerialPortInfo>

namespace {
std::function<QStringList()> &port_name_source()
{
    static std::function<QStringList()> source;
    return source;
}
} // namespace

QStringList available_port_names()
{
    if (port_name_source()) {
        return port_name_source()();
    }
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        names << info.portName();
    }
    return names;
}

void set_port_name_source(std::function<QStringList()> source)
{
    port_name_source() = std::move(source);
}
