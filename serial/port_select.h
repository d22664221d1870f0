#ifndef KT62_PORT_SELECT_H
#define KT62_PORT_SELECT_H

#include "serial/port_list.h"

#include <QList>
#include <QString>
#include <optional>

// A port chosen by its USB adapter's identity rather than by a name that
// renumbers when boards are plugged in: `--port usb:VVVV:PPPP[:SERIAL]`.
struct UsbSelector
{
    quint16 vendor_id = 0;
    quint16 product_id = 0;
    std::optional<QString> serial_number; // compared exactly when given

    // The canonical text, ids in lowercase hex: "usb:0403:6001:A50285BI".
    QString text() const;
    bool matches(const PortDetails &port) const;
};

// Whether a --port argument asks for a USB identity rather than naming a port
// (it starts with "usb:", in any case).
bool is_usb_selector(const QString &argument);

struct UsbSelectorParse
{
    std::optional<UsbSelector> selector;
    QString error; // why it is malformed, set exactly when selector is not
};

// Reads "usb:VVVV:PPPP[:SERIAL]": VVVV and PPPP are exactly four hex digits in
// any case; everything after the third colon is the serial number, colons
// included, and must not be empty. A malformed selector gets a message for
// the user, e.g.
//   bad USB selector "usb:403:6001": the vendor id is not four hex digits;
//   expected usb:VVVV:PPPP[:SERIAL], as in usb:0403:6001
// (one line; the caller prefixes the tool name).
UsbSelectorParse parse_usb_selector(const QString &argument);

struct UsbSelection
{
    enum class Outcome
    {
        Found,     // exactly one port has the identity
        Ambiguous, // several have it: nothing may be sent
        NoMatch    // none has it (yet): fail, or wait for it to appear
    };
    Outcome outcome = Outcome::NoMatch;
    PortDetails port;              // the port found
    QList<PortDetails> candidates; // the ports that matched, in the order given
    QString error;                 // for Ambiguous and NoMatch, one line for the user
};

// Picks the one port of ports with the selector's identity. A port listed
// twice under the same name counts once. Messages:
//   several ports match usb:0403:6001: ttyUSB0 (serial A1), ttyUSB3 (no serial
//   number); name the port or add its serial number, as in usb:0403:6001:SERIAL
//   several ports match usb:0403:6001:A1: ttyUSB0 (serial A1), ttyUSB1 (serial
//   A1); name the port instead
//   no port matches usb:0403:6001
UsbSelection select_usb_port(const QList<PortDetails> &ports, const UsbSelector &selector);

#endif
