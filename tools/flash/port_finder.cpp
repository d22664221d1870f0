#include "tools/flash/port_finder.h"

#include "serial/port_access.h"
#include "serial/port_select.h"

#include <QDateTime>
#include <QFileInfo>

namespace {
// Lanes look every few hundred milliseconds; one listing serves them all.
constexpr qint64 CATALOG_MAX_AGE_MS = 150;

// The node as it is now, or empty when there is none. Its change time is
// set when the node is made, so a port made anew under an old name (the
// next board's adapter, a pseudo terminal with a number used before) tells
// itself apart from the one before.
QString node_identity(const QString &node)
{
    const QFileInfo info(node);
    if (!info.exists()) {
        return QString();
    }
    return info.canonicalFilePath() + QLatin1Char('@') +
           QString::number(info.metadataChangeTime().toMSecsSinceEpoch());
}

PortSighting sight_usb_port(const QString &argument, PortCatalog &catalog)
{
    PortSighting sighting;
    const UsbSelectorParse parse = parse_usb_selector(argument);
    if (!parse.selector) {
        sighting.error = parse.error;
        return sighting;
    }
    const UsbSelection selection = select_usb_port(catalog.ports(), *parse.selector);
    sighting.error = selection.error;
    if (selection.outcome == UsbSelection::Outcome::Ambiguous) {
        sighting.state = PortSighting::State::Ambiguous;
    } else if (selection.outcome == UsbSelection::Outcome::Found) {
        const PortDetails &port = selection.port;
        sighting.state = PortSighting::State::Present;
        sighting.system_port = port.system_location.isEmpty() ? port.name : port.system_location;
        const QString node = port_device_node(sighting.system_port);
        sighting.identity = node.isEmpty() ? sighting.system_port : node_identity(node);
    }
    return sighting;
}

// Where ports have no device node (COM3) the port is there while it is listed.
bool listed(const QString &name, PortCatalog &catalog)
{
    for (const PortDetails &port : catalog.ports()) {
        if (port.name.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}
} // namespace

const QList<PortDetails> &PortCatalog::ports()
{
    if (!m_taken.isValid() || m_taken.elapsed() >= CATALOG_MAX_AGE_MS) {
        m_ports = available_ports();
        m_taken.start();
    }
    return m_ports;
}

PortSighting sight_port(const QString &argument, PortCatalog &catalog)
{
    if (is_usb_selector(argument)) {
        return sight_usb_port(argument, catalog);
    }
    PortSighting sighting;
    sighting.system_port = argument;
    const QString node = port_device_node(argument);
    if (node.isEmpty()) {
        sighting.identity = listed(argument, catalog) ? argument : QString();
    } else {
        sighting.identity = node_identity(node);
    }
    if (!sighting.identity.isEmpty()) {
        sighting.state = PortSighting::State::Present;
    }
    return sighting;
}

QString usb_refusal(const QStringList &ports, bool may_wait, PortCatalog &catalog)
{
    for (const QString &port : ports) {
        if (!is_usb_selector(port)) {
            continue;
        }
        const PortSighting sighting = sight_port(port, catalog);
        const bool absent = sighting.state == PortSighting::State::Absent;
        if (sighting.state == PortSighting::State::Ambiguous || (absent && !may_wait)) {
            return sighting.error;
        }
    }
    return QString();
}
