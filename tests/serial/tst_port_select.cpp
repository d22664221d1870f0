#include "serial/port_select.h"

#include <QTest>

namespace {
PortDetails usb_port(const QString &name, quint16 vendor, quint16 product, const QString &serial)
{
    PortDetails port;
    port.name = name;
    port.system_location = QStringLiteral("/dev/") + name;
    port.vendor_id = vendor;
    port.product_id = product;
    port.serial_number = serial;
    return port;
}

// Two FTDI adapters, two serial-less CH340 adapters, a board's own USB port
// and a plain RS-232 port that has no USB identity at all.
QList<PortDetails> bench()
{
    PortDetails rs232;
    rs232.name = QStringLiteral("ttyS0");
    return {usb_port(QStringLiteral("ttyUSB0"), 0x0403, 0x6001, QStringLiteral("A50285BI")),
            usb_port(QStringLiteral("ttyUSB1"), 0x0403, 0x6001, QStringLiteral("a50285bi")),
            usb_port(QStringLiteral("ttyUSB2"), 0x1a86, 0x7523, QString()),
            usb_port(QStringLiteral("ttyUSB3"), 0x1a86, 0x7523, QString()),
            usb_port(QStringLiteral("ttyACM0"), 0x2e8a, 0x000a, QStringLiteral("E6:61:41")),
            rs232};
}
} // namespace

class TestPortSelect : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void select_data();
    void select();
};

void TestPortSelect::parse_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("canonical"); // empty when malformed
    QTest::addColumn<QString>("reason");    // part of the error when malformed

    QTest::newRow("ids") << "usb:0403:6001"
                         << "usb:0403:6001"
                         << "";
    QTest::newRow("hex in any case") << "USB:2E8a:000A"
                                     << "usb:2e8a:000a"
                                     << "";
    QTest::newRow("with serial") << "usb:0403:6001:A50285BI"
                                 << "usb:0403:6001:A50285BI"
                                 << "";
    QTest::newRow("serial with colons") << "usb:2e8a:000a:E6:61:41"
                                        << "usb:2e8a:000a:E6:61:41"
                                        << "";
    QTest::newRow("nothing after prefix") << "usb:"
                                          << ""
                                          << "the vendor id is not four hex digits";
    QTest::newRow("short vendor") << "usb:403:6001"
                                  << ""
                                  << "the vendor id is not four hex digits";
    QTest::newRow("non-hex vendor") << "usb:04g3:6001"
                                    << ""
                                    << "the vendor id is not four hex digits";
    QTest::newRow("product missing") << "usb:0403"
                                     << ""
                                     << "the product id is missing";
    QTest::newRow("product empty") << "usb:0403:"
                                   << ""
                                   << "the product id is not four hex digits";
    QTest::newRow("long product") << "usb:0403:60010"
                                  << ""
                                  << "the product id is not four hex digits";
    QTest::newRow("signed product") << "usb:0403:+601"
                                    << ""
                                    << "the product id is not four hex digits";
    QTest::newRow("serial empty") << "usb:0403:6001:"
                                  << ""
                                  << "the serial number after the last colon is empty";
    QTest::newRow("not a selector") << "/dev/ttyUSB0"
                                    << ""
                                    << "it does not start with \"usb:\"";
}

void TestPortSelect::parse()
{
    QFETCH(QString, argument);
    QFETCH(QString, canonical);
    QFETCH(QString, reason);
    const UsbSelectorParse parse = parse_usb_selector(argument);
    if (canonical.isEmpty()) {
        QVERIFY(!parse.selector);
        QCOMPARE(parse.error,
                 QStringLiteral("bad USB selector \"%1\": %2; expected usb:VVVV:PPPP[:SERIAL], as "
                                "in usb:0403:6001")
                     .arg(argument, reason));
    } else {
        QVERIFY2(parse.selector, qPrintable(parse.error));
        QCOMPARE(parse.error, QString());
        QCOMPARE(parse.selector->text(), canonical);
    }
}

void TestPortSelect::select_data()
{
    QTest::addColumn<QList<PortDetails>>("ports");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<QString>("error");
    const int found = int(UsbSelection::Outcome::Found);
    const int ambiguous = int(UsbSelection::Outcome::Ambiguous);
    const int no_match = int(UsbSelection::Outcome::NoMatch);

    QTest::newRow("the only one") << bench() << "usb:2E8A:000A" << found << QStringList{"ttyACM0"}
                                  << "";
    QTest::newRow("serial is compared exactly")
        << bench() << "usb:0403:6001:a50285bi" << found << QStringList{"ttyUSB1"} << "";
    QTest::newRow("serial with colons")
        << bench() << "usb:2e8a:000a:E6:61:41" << found << QStringList{"ttyACM0"} << "";
    QTest::newRow("listed twice is one port")
        << (bench() << bench().first()) << "usb:0403:6001:A50285BI" << found
        << QStringList{"ttyUSB0"} << "";
    QTest::newRow("two adapters")
        << bench() << "usb:0403:6001" << ambiguous << QStringList{"ttyUSB0", "ttyUSB1"}
        << "several ports match usb:0403:6001: ttyUSB0 (serial A50285BI), ttyUSB1 (serial "
           "a50285bi); name the port or add its serial number, as in usb:0403:6001:SERIAL";
    QTest::newRow("no serial numbers")
        << bench() << "usb:1a86:7523" << ambiguous << QStringList{"ttyUSB2", "ttyUSB3"}
        << "several ports match usb:1a86:7523: ttyUSB2 (no serial number), ttyUSB3 (no serial "
           "number); name the port or add its serial number, as in usb:1a86:7523:SERIAL";
    QTest::newRow("same serial twice")
        << QList<PortDetails>{bench().at(0), usb_port("ttyUSB7", 0x0403, 0x6001, "A50285BI")}
        << "usb:0403:6001:A50285BI" << ambiguous << QStringList{"ttyUSB0", "ttyUSB7"}
        << "several ports match usb:0403:6001:A50285BI: ttyUSB0 (serial A50285BI), ttyUSB7 "
           "(serial A50285BI); name the port instead";
    QTest::newRow("product differs") << bench() << "usb:0403:6015" << no_match << QStringList{}
                                     << "no port matches usb:0403:6015";
    QTest::newRow("serial differs") << bench() << "usb:0403:6001:A50285B" << no_match
                                    << QStringList{} << "no port matches usb:0403:6001:A50285B";
    QTest::newRow("no ports") << QList<PortDetails>{} << "usb:0000:0000" << no_match
                              << QStringList{} << "no port matches usb:0000:0000";
}

void TestPortSelect::select()
{
    QFETCH(QList<PortDetails>, ports);
    QFETCH(QString, selector);
    QFETCH(int, outcome);
    QFETCH(QStringList, candidates);
    QFETCH(QString, error);
    const UsbSelectorParse parse = parse_usb_selector(selector);
    QVERIFY2(parse.selector, qPrintable(parse.error));

    const UsbSelection selection = select_usb_port(ports, *parse.selector);
    QCOMPARE(int(selection.outcome), outcome);
    QStringList names;
    for (const PortDetails &port : selection.candidates) {
        names << port.name;
    }
    QCOMPARE(names, candidates);
    QCOMPARE(selection.error, error);
    if (selection.outcome == UsbSelection::Outcome::Found) {
        QCOMPARE(selection.port.name, candidates.first());
    }
}

QTEST_GUILESS_MAIN(TestPortSelect)
#include "tst_port_select.moc"
