#include "production/port_finder.h"

#include "serial/port_access.h"
#include "serial/port_select.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <QFile>
#include <sys/stat.h>
#endif

namespace {
const QChar IDENTITY_SEPARATOR = QLatin1Char('@');
const QChar SERIAL_SEPARATOR = QLatin1Char('#');

// The node as it is now, or empty when there is none. A node made anew
// under an old name (the next board's adapter) has new numbers; a pseudo
// terminal whose number is used again at once may not, which only the
// notices of its removal tell (see NodeWatch).
QString node_identity(const QString &node)
{
    const QFileInfo info(node);
    if (!info.exists()) {
        return QString();
    }
    const NodeNumbers numbers = node_numbers(node);
    return info.canonicalFilePath() + IDENTITY_SEPARATOR +
           QStringLiteral("%1:%2:%3")
               .arg(numbers.device)
               .arg(numbers.inode)
               .arg(numbers.represents);
}

// What makes two nodes one device: the device number of a character device
// (every node of a serial port shares it), otherwise the node itself.
QString node_device(const QString &node)
{
    const NodeNumbers numbers = node_numbers(node);
    if (numbers.character_device) {
        return QStringLiteral("device %1").arg(numbers.represents);
    }
    return QFileInfo(node).canonicalFilePath();
}

void describe_port(const QString &system_port, PortSighting *sighting)
{
    const QString node = port_device_node(system_port);
    // Where ports have no node (COM3) the name is all there is.
    sighting->identity = node.isEmpty() ? system_port : node_identity(node);
    sighting->device = node.isEmpty() ? system_port.toUpper() : node_device(node);
}

PortSighting sight_usb_port(const QString &argument)
{
    PortSighting sighting;
    const UsbSelectorParse parse = parse_usb_selector(argument);
    if (!parse.selector) {
        sighting.error = parse.error;
        return sighting;
    }
    const UsbSelection selection = select_usb_port(available_ports(), *parse.selector);
    sighting.error = selection.error;
    if (selection.outcome == UsbSelection::Outcome::Ambiguous) {
        sighting.state = PortSighting::State::Ambiguous;
    } else if (selection.outcome == UsbSelection::Outcome::Found) {
        const PortDetails &port = selection.port;
        sighting.state = PortSighting::State::Present;
        sighting.system_port = port.system_location.isEmpty() ? port.name : port.system_location;
        describe_port(sighting.system_port, &sighting);
        // Another adapter of the same kind under the same name is another board.
        sighting.identity += SERIAL_SEPARATOR + port.serial_number;
    }
    return sighting;
}

// Where ports have no device node (COM3) the port is there while it is listed.
bool listed(const QString &name)
{
    for (const PortDetails &port : available_ports()) {
        if (port.name.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}
} // namespace

#ifdef Q_OS_UNIX
NodeNumbers node_numbers(const QString &path)
{
    NodeNumbers numbers;
    struct stat facts = {};
    if (::stat(QFile::encodeName(path).constData(), &facts) != 0) {
        return numbers;
    }
    numbers.known = true;
    numbers.character_device = S_ISCHR(facts.st_mode);
    numbers.device = quint64(facts.st_dev);
    numbers.inode = quint64(facts.st_ino);
    numbers.represents = quint64(facts.st_rdev);
    return numbers;
}
#else
// Not on this system: nodes are told apart by their paths only.
NodeNumbers node_numbers(const QString &)
{
    return NodeNumbers();
}
#endif

void ServedDevices::release(const QString &port)
{
    for (auto it = m_servers.begin(); it != m_servers.end();) {
        it = it.value() == port ? m_servers.erase(it) : std::next(it);
    }
}

PortSighting sight_port(const QString &argument)
{
    if (is_usb_selector(argument)) {
        return sight_usb_port(argument);
    }
    PortSighting sighting;
    sighting.system_port = argument;
    const QString node = port_device_node(argument);
    const bool there = node.isEmpty() ? listed(argument) : QFileInfo::exists(node);
    if (there) {
        describe_port(argument, &sighting);
        sighting.state = sighting.identity.isEmpty() ? PortSighting::State::Absent
                                                     : PortSighting::State::Present;
    }
    return sighting;
}

QString usb_refusal(const QStringList &ports, bool may_wait)
{
    for (const QString &port : ports) {
        if (!is_usb_selector(port)) {
            continue;
        }
        const PortSighting sighting = sight_port(port);
        const bool absent = sighting.state == PortSighting::State::Absent;
        if (sighting.state == PortSighting::State::Ambiguous || (absent && !may_wait)) {
            return sighting.error;
        }
    }
    return QString();
}
