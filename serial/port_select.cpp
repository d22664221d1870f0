#include "serial/port_select.h"

#include <QRegularExpression>
#include <QStringList>

namespace {
const QString USB_PREFIX = QStringLiteral("usb:");
const QChar FIELD_SEPARATOR = QLatin1Char(':');
constexpr int HEX_BASE = 16;
// Fields of "usb:VVVV:PPPP:SERIAL" after splitting at the first three colons.
constexpr int VENDOR_FIELD = 1;
constexpr int PRODUCT_FIELD = 2;
constexpr int SERIAL_FIELD = 3;

UsbSelectorParse malformed(const QString &argument, const QString &reason)
{
    UsbSelectorParse parse;
    parse.error = QStringLiteral("bad USB selector \"%1\": %2; expected usb:VVVV:PPPP[:SERIAL], "
                                 "as in usb:0403:6001")
                      .arg(argument, reason);
    return parse;
}

std::optional<quint16> usb_id(const QString &field)
{
    static const QRegularExpression four_hex_digits(QStringLiteral("^[0-9A-Fa-f]{4}$"));
    if (!four_hex_digits.match(field).hasMatch()) {
        return std::nullopt;
    }
    return quint16(field.toUInt(nullptr, HEX_BASE));
}

// "ttyUSB0 (serial A1)", "ttyUSB3 (no serial number)"
QString candidate_text(const PortDetails &port)
{
    if (port.serial_number.isEmpty()) {
        return QStringLiteral("%1 (no serial number)").arg(port.name);
    }
    return QStringLiteral("%1 (serial %2)").arg(port.name, port.serial_number);
}

// Adapters of one model differ only in their serial number, when they have
// one; once it is given, only the name is left to tell ports apart.
QString way_to_choose(const UsbSelector &selector)
{
    if (selector.serial_number) {
        return QStringLiteral("name the port instead");
    }
    return QStringLiteral("name the port or add its serial number, as in %1:SERIAL")
        .arg(selector.text());
}
} // namespace

QString UsbSelector::text() const
{
    QString text = USB_PREFIX + usb_id_text(vendor_id) + FIELD_SEPARATOR + usb_id_text(product_id);
    if (serial_number) {
        text += FIELD_SEPARATOR + *serial_number;
    }
    return text;
}

bool UsbSelector::matches(const PortDetails &port) const
{
    return port.vendor_id == vendor_id && port.product_id == product_id &&
           (!serial_number || port.serial_number == *serial_number);
}

bool is_usb_selector(const QString &argument)
{
    return argument.startsWith(USB_PREFIX, Qt::CaseInsensitive);
}

UsbSelectorParse parse_usb_selector(const QString &argument)
{
    if (!is_usb_selector(argument)) {
        return malformed(argument, QStringLiteral("it does not start with \"usb:\""));
    }
    // At most four fields: a serial number may itself hold colons.
    QStringList fields;
    QString rest = argument;
    for (int field = 0; field < SERIAL_FIELD; ++field) {
        const int colon = rest.indexOf(FIELD_SEPARATOR);
        if (colon < 0) {
            break;
        }
        fields << rest.left(colon);
        rest = rest.mid(colon + 1);
    }
    fields << rest;

    // The prefix holds a colon, so the vendor field is always there.
    const std::optional<quint16> vendor = usb_id(fields.at(VENDOR_FIELD));
    if (!vendor) {
        return malformed(argument, QStringLiteral("the vendor id is not four hex digits"));
    }
    if (fields.size() <= PRODUCT_FIELD) {
        return malformed(argument, QStringLiteral("the product id is missing"));
    }
    const std::optional<quint16> product = usb_id(fields.at(PRODUCT_FIELD));
    if (!product) {
        return malformed(argument, QStringLiteral("the product id is not four hex digits"));
    }
    UsbSelector selector;
    selector.vendor_id = *vendor;
    selector.product_id = *product;
    if (fields.size() > SERIAL_FIELD) {
        if (fields.at(SERIAL_FIELD).isEmpty()) {
            return malformed(argument, QStringLiteral("the serial number after the last colon is "
                                                      "empty"));
        }
        selector.serial_number = fields.at(SERIAL_FIELD);
    }
    UsbSelectorParse parse;
    parse.selector = selector;
    return parse;
}

UsbSelection select_usb_port(const QList<PortDetails> &ports, const UsbSelector &selector)
{
    UsbSelection selection;
    QStringList seen;
    for (const PortDetails &port : ports) {
        if (selector.matches(port) && !seen.contains(port.name)) {
            seen << port.name;
            selection.candidates << port;
        }
    }
    if (selection.candidates.isEmpty()) {
        selection.outcome = UsbSelection::Outcome::NoMatch;
        selection.error = QStringLiteral("no port matches %1").arg(selector.text());
        return selection;
    }
    if (selection.candidates.size() > 1) {
        QStringList listed;
        for (const PortDetails &port : std::as_const(selection.candidates)) {
            listed << candidate_text(port);
        }
        selection.outcome = UsbSelection::Outcome::Ambiguous;
        selection.error =
            QStringLiteral("several ports match %1: %2; %3")
                .arg(selector.text(), listed.join(QStringLiteral(", ")), way_to_choose(selector));
        return selection;
    }
    selection.outcome = UsbSelection::Outcome::Found;
    selection.port = selection.candidates.first();
    return selection;
}
