#include "serial/port_list.h"

#include "serial/port_scanner.h"

#include <QCoreApplication>
#include <QSerialPortInfo>

namespace {
constexpr int USB_ID_DIGITS = 4;
constexpr int HEX_BASE = 16;

std::function<QStringList()> &port_name_source()
{
    static std::function<QStringList()> source;
    return source;
}

std::function<QList<PortDetails>()> &port_details_source()
{
    static std::function<QList<PortDetails>()> source;
    return source;
}

std::unique_ptr<PortScanner> &installed_scanner()
{
    static std::unique_ptr<PortScanner> scanner;
    return scanner;
}

// The scanner's watcher belongs to the application's event loop; it goes with
// the application rather than outliving it until the program exits.
void drop_scanner()
{
    installed_scanner().reset();
}

PortScanner &port_scanner()
{
    std::unique_ptr<PortScanner> &scanner = installed_scanner();
    if (!scanner) {
        scanner = PortScanner::for_this_system();
        if (QCoreApplication::instance()) {
            qAddPostRoutine(drop_scanner);
        }
    }
    return *scanner;
}

PortDetails details_of(const QSerialPortInfo &info)
{
    PortDetails port;
    port.name = info.portName();
    port.system_location = info.systemLocation();
    port.description = info.description();
    port.manufacturer = info.manufacturer();
    port.serial_number = info.serialNumber();
    if (info.hasVendorIdentifier()) {
        port.vendor_id = info.vendorIdentifier();
    }
    if (info.hasProductIdentifier()) {
        port.product_id = info.productIdentifier();
    }
    return port;
}

QJsonValue text_or_null(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue id_or_null(const std::optional<quint16> &id)
{
    return id ? QJsonValue(usb_id_text(*id)) : QJsonValue(QJsonValue::Null);
}
} // namespace

bool PortDetails::operator==(const PortDetails &other) const
{
    return name == other.name && system_location == other.system_location &&
           description == other.description && manufacturer == other.manufacturer &&
           serial_number == other.serial_number && vendor_id == other.vendor_id &&
           product_id == other.product_id;
}

QList<PortDetails> available_ports()
{
    if (port_details_source()) {
        return port_details_source()();
    }
    if (port_name_source()) {
        QList<PortDetails> ports;
        const QStringList names = port_name_source()();
        for (const QString &name : names) {
            PortDetails port;
            port.name = name;
            ports << port;
        }
        return ports;
    }
    return port_scanner().scan();
}

QStringList available_port_names()
{
    if (port_name_source()) {
        return port_name_source()();
    }
    QStringList names;
    const QList<PortDetails> ports = available_ports();
    for (const PortDetails &port : ports) {
        names << port.name;
    }
    return names;
}

void set_port_name_source(std::function<QStringList()> source)
{
    port_name_source() = std::move(source);
}

void set_port_details_source(std::function<QList<PortDetails>()> source)
{
    port_details_source() = std::move(source);
}

void set_port_scanner(std::unique_ptr<PortScanner> scanner)
{
    installed_scanner() = std::move(scanner);
}

QList<PortDetails> enumerate_system_ports()
{
    QList<PortDetails> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        ports << details_of(info);
    }
    return ports;
}

QString usb_id_text(quint16 id)
{
    return QStringLiteral("%1").arg(id, USB_ID_DIGITS, HEX_BASE, QLatin1Char('0'));
}

QString port_listing_line(const PortDetails &port)
{
    QStringList known;
    if (!port.description.isEmpty()) {
        known << port.description;
    }
    if (!port.manufacturer.isEmpty()) {
        known << port.manufacturer;
    }
    if (port.vendor_id && port.product_id) {
        known << QStringLiteral("USB %1:%2")
                     .arg(usb_id_text(*port.vendor_id), usb_id_text(*port.product_id));
    }
    if (!port.serial_number.isEmpty()) {
        known << QStringLiteral("serial %1").arg(port.serial_number);
    }
    if (known.isEmpty()) {
        return port.name;
    }
    return port.name + QLatin1Char('\t') + known.join(QStringLiteral(", "));
}

QJsonObject port_json(const PortDetails &port)
{
    return QJsonObject{
        {QStringLiteral("name"), text_or_null(port.name)},
        {QStringLiteral("system_location"), text_or_null(port.system_location)},
        {QStringLiteral("description"), text_or_null(port.description)},
        {QStringLiteral("manufacturer"), text_or_null(port.manufacturer)},
        {QStringLiteral("serial_number"), text_or_null(port.serial_number)},
        {QStringLiteral("vendor_id"), id_or_null(port.vendor_id)},
        {QStringLiteral("product_id"), id_or_null(port.product_id)},
    };
}

QJsonArray port_listing_json(const QList<PortDetails> &ports)
{
    QJsonArray array;
    for (const PortDetails &port : ports) {
        array.append(port_json(port));
    }
    return array;
}
