#include "port_list.h"

#include <QSerialPortInfo>

namespace {
std::function<QStringList()> &portNameSource()
{
    static std::function<QStringList()> source;
    return source;
}
} // namespace

QStringList availablePortNames()
{
    if (portNameSource()) {
        return portNameSource()();
    }
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        names << info.portName();
    }
    return names;
}

void setPortNameSource(std::function<QStringList()> source)
{
    portNameSource() = std::move(source);
}
