// The ports present, how they are listed, and the one picked by its USB identity.
#include "serial/port_list.h"
#include "serial/port_select.h"

#include <QJsonDocument>
#include <QTest>

namespace {
// Name, node, description, manufacturer, serial number, USB ids: two FTDI adapters, two CH340
// adapters without serial numbers, a board's own USB port and an RS-232 port with no USB identity.
const QList<PortDetails> BENCH{
    {"ttyUSB0", "/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001},
    {"ttyUSB1", "", "", "", "a50285bi", 0x0403, 0x6001},
    {"ttyUSB2", "", "", "", "", 0x1a86, 0x7523},
    {"ttyUSB3", "", "", "", "", 0x1a86, 0x7523},
    {"ttyACM0", "", "", "Raspberry Pi", "E6:61:41", 0x2e8a, 0x000a},
    {"ttyS0", "/dev/ttyS0", "", "", "", {}, {}}};
const PortDetails &FTDI = BENCH.first();
const PortDetails &RS232 = BENCH.last();
} // namespace

class TestPortList : public QObject
{
    Q_OBJECT
private slots:
    void listingLine_data()
    {
        QTest::addColumn<PortDetails>("port");
        QTest::addColumn<QString>("line");
        QTest::newRow("everything known")
            << FTDI << "ttyUSB0\tFT232R USB UART, FTDI, USB 0403:6001, serial A50285BI";
        QTest::newRow("nothing known") << RS232 << "ttyS0";
        QTest::newRow("ids padded, lowercase")
            << BENCH[4] << "ttyACM0\tRaspberry Pi, USB 2e8a:000a, serial E6:61:41";
        QTest::newRow("ids only") << BENCH[2] << "ttyUSB2\tUSB 1a86:7523";
        QTest::newRow("one id alone says nothing")
            << PortDetails{"ttyUSB1", "", "", "", "", 0x1A86, {}} << "ttyUSB1";
    }
    void listingLine()
    {
        QFETCH(PortDetails, port);
        QTEST(port_listing_line(port), "line");
    }
    // Every key present, null for what is not known, the ports in the order given.
    void listingJson()
    {
        const PortDetails vendor_only{"ttyS4", "", "", "", "", 0x0ABC, {}};
        const QByteArray expected = R"([
            {"name": "ttyUSB0", "system_location": "/dev/ttyUSB0", "description": "FT232R USB UART",
             "manufacturer": "FTDI", "serial_number": "A50285BI", "vendor_id": "0403",
             "product_id": "6001"},
            {"name": "ttyS4", "system_location": null, "description": null, "manufacturer": null,
             "serial_number": null, "vendor_id": "0abc", "product_id": null}])";
        QCOMPARE(QJsonDocument(port_listing_json({FTDI, vendor_only})),
                 QJsonDocument::fromJson(expected));
    }
    // The canonical form of a selector (ids in lower case, the serial number as given, colons
    // and all); none for a malformed one.
    void parseSelector_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("canonical");
        for (const auto &[argument, canonical] : QList<std::pair<const char *, const char *>>{
                 {"usb:0403:6001", "usb:0403:6001"},
                 {"USB:2E8a:000A", "usb:2e8a:000a"},
                 {"usb:2e8a:000a:E6:61:41", "usb:2e8a:000a:E6:61:41"}}) {
            QTest::newRow(argument) << argument << canonical;
        }
        for (const char *malformed : {"usb:403:6001", "usb:04g3:6001", "usb:0403", "usb:0403:60010",
                                      "usb:0403:+601", "usb:0403:6001:", "/dev/ttyUSB0"}) {
            QTest::newRow(malformed) << malformed << "";
        }
    }
    void parseSelector()
    {
        QFETCH(QString, argument);
        const UsbSelectorParse parse = parse_usb_selector(argument);
        QTEST(parse.selector ? parse.selector->text() : QString(), "canonical");
        QCOMPARE(parse.error.isEmpty(), bool(parse.selector));
    }
    // The outcome follows from the candidates: one is found, several are ambiguous, none no match.
    void select_data()
    {
        QTest::addColumn<QList<PortDetails>>("ports");
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QStringList>("candidates");
        QTest::addColumn<QString>("error");
        const auto row = [](const char *tag, const char *selector, const QStringList &candidates,
                            const char *error = "", const QList<PortDetails> &ports = BENCH) {
            QTest::newRow(tag) << ports << QString(selector) << candidates << QString(error);
        };
        const PortDetails twin{"ttyUSB7", "", "", "", "A50285BI", 0x0403, 0x6001};
        row("serial is compared exactly", "usb:0403:6001:a50285bi", {"ttyUSB1"});
        row("listed twice is one port", "usb:0403:6001:A50285BI", {"ttyUSB0"}, "", BENCH + BENCH);
        row("two adapters", "usb:0403:6001", {"ttyUSB0", "ttyUSB1"},
            "several ports match usb:0403:6001: ttyUSB0 (serial A50285BI), ttyUSB1 (serial "
            "a50285bi); name the port or add its serial number, as in usb:0403:6001:SERIAL");
        row("no serial numbers", "usb:1a86:7523", {"ttyUSB2", "ttyUSB3"},
            "several ports match usb:1a86:7523: ttyUSB2 (no serial number), ttyUSB3 (no serial "
            "number); name the port or add its serial number, as in usb:1a86:7523:SERIAL");
        row("same serial twice", "usb:0403:6001:A50285BI", {"ttyUSB0", "ttyUSB7"},
            "several ports match usb:0403:6001:A50285BI: ttyUSB0 (serial A50285BI), ttyUSB7 "
            "(serial A50285BI); name the port instead",
            {FTDI, twin});
        row("product differs", "usb:0403:6015", {}, "no port matches usb:0403:6015");
        row("serial differs", "usb:0403:6001:A50285B", {}, "no port matches usb:0403:6001:A50285B");
    }
    void select()
    {
        QFETCH(QList<PortDetails>, ports);
        QFETCH(QString, selector);
        QFETCH(QStringList, candidates);
        const UsbSelection selection =
            select_usb_port(ports, parse_usb_selector(selector).selector.value());
        QStringList names;
        for (const PortDetails &port : selection.candidates) {
            names << port.name;
        }
        QCOMPARE(names, candidates);
        QTEST(selection.error, "error");
        using Outcome = UsbSelection::Outcome;
        QCOMPARE(selection.outcome, candidates.isEmpty()     ? Outcome::NoMatch
                                    : candidates.size() == 1 ? Outcome::Found
                                                             : Outcome::Ambiguous);
    }
};

QTEST_GUILESS_MAIN(TestPortList)
#include "tst_port_list.moc"
