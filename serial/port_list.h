#ifndef KT62_PORT_LIST_H
#define KT62_PORT_LIST_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// What the system knows about one serial port. Empty strings and absent ids
// mean "not known": a plain RS-232 port or a pseudo terminal has no
// description, manufacturer or USB identity.
struct PortDetails
{
    QString name;            // as the port box and --port take it: "ttyUSB0", "COM3"
    QString system_location; // the device node or system path: "/dev/ttyUSB0", "\\.\COM3"
    QString description;
    QString manufacturer;
    QString serial_number;
    std::optional<quint16> vendor_id; // USB vendor id
    std::optional<quint16> product_id;

    bool operator==(const PortDetails &other) const;
    bool operator!=(const PortDetails &other) const { return !(*this == other); }
};
Q_DECLARE_METATYPE(PortDetails)

// The serial ports present, in the order the platform reports them
// (duplicates included). Scans go through a PortScanner (serial/port_scanner.h),
// which answers a repeated scan from its last enumeration while nothing has
// changed, so calling these every few hundred milliseconds stays cheap.
//
// Two replacement sources exist for tests, each answered as-is on every call
// (no scanner in between); an empty function restores the platform's list:
// - a details source feeds both functions;
// - a name source, which is how the port box is exercised without hardware,
//   takes precedence for the names, and when no details source is installed
//   available_ports() reports its names with nothing else known.
QStringList available_port_names();
QList<PortDetails> available_ports();
void set_port_name_source(std::function<QStringList()> source);
void set_port_details_source(std::function<QList<PortDetails>()> source);

// The platform's own enumeration (QSerialPortInfo), unconditionally: every
// call costs a full walk of the system's devices.
QList<PortDetails> enumerate_system_ports();

// A USB id as lsusb and udev print it: four lowercase hex digits ("0403").
QString usb_id_text(quint16 id);

// One line of `kt62-flash --list-ports`: the name, and when anything else is
// known a tab and the known fields joined by ", " in this order: description,
// manufacturer, "USB vvvv:pppp" (only when both ids are known), "serial S".
//   ttyUSB0\tFT232R USB UART, FTDI, USB 0403:6001, serial A50285BI
//   ttyS0
// The name stays the first tab-separated field so scripts can cut it out.
QString port_listing_line(const PortDetails &port);

// One object of `kt62-flash --list-ports --json`, with every key always
// present and null for what is not known (empty strings included):
//   {"name": "ttyUSB0", "system_location": "/dev/ttyUSB0",
//    "description": "FT232R USB UART", "manufacturer": "FTDI",
//    "serial_number": "A50285BI", "vendor_id": "0403", "product_id": "6001"}
// The ids are strings of four lowercase hex digits, as in port_listing_line.
QJsonObject port_json(const PortDetails &port);

// The whole listing: one array of port_json objects in the order given.
QJsonArray port_listing_json(const QList<PortDetails> &ports);

#endif
