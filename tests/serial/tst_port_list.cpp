#include "serial/port_list.h"

#include <QJsonDocument>
#include <QTest>

namespace {
PortDetails ftdi_adapter()
{
    PortDetails port;
    port.name = QStringLiteral("ttyUSB0");
    port.system_location = QStringLiteral("/dev/ttyUSB0");
    port.description = QStringLiteral("FT232R USB UART");
    port.manufacturer = QStringLiteral("FTDI");
    port.serial_number = QStringLiteral("A50285BI");
    port.vendor_id = 0x0403;
    port.product_id = 0x6001;
    return port;
}

PortDetails bare_port(const QString &name)
{
    PortDetails port;
    port.name = name;
    port.system_location = QStringLiteral("/dev/") + name;
    return port;
}

PortDetails with_ids(PortDetails port, std::optional<quint16> vendor,
                     std::optional<quint16> product)
{
    port.vendor_id = vendor;
    port.product_id = product;
    return port;
}
} // namespace

class TestPortList : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void listingLine_data();
    void listingLine();
    void listingJson_data();
    void listingJson();
    void replacementSources_data();
    void replacementSources();
};

void TestPortList::cleanup()
{
    set_port_name_source({});
    set_port_details_source({});
}

void TestPortList::listingLine_data()
{
    QTest::addColumn<PortDetails>("port");
    QTest::addColumn<QString>("line");
    PortDetails no_serial = ftdi_adapter();
    no_serial.serial_number.clear();
    PortDetails only_manufacturer = bare_port(QStringLiteral("ttyACM1"));
    only_manufacturer.manufacturer = QStringLiteral("Arduino");

    QTest::newRow("everything known")
        << ftdi_adapter() << "ttyUSB0\tFT232R USB UART, FTDI, USB 0403:6001, serial A50285BI";
    QTest::newRow("nothing known") << bare_port(QStringLiteral("ttyS0")) << "ttyS0";
    QTest::newRow("no serial number")
        << no_serial << "ttyUSB0\tFT232R USB UART, FTDI, USB 0403:6001";
    QTest::newRow("only the manufacturer") << only_manufacturer << "ttyACM1\tArduino";
    QTest::newRow("ids padded, lowercase")
        << with_ids(bare_port(QStringLiteral("ttyACM0")), 0x2E8A, 0x000A)
        << "ttyACM0\tUSB 2e8a:000a";
    QTest::newRow("extreme ids") << with_ids(bare_port(QStringLiteral("COM3")), 0x0000, 0xFFFF)
                                 << "COM3\tUSB 0000:ffff";
    QTest::newRow("one id alone says nothing")
        << with_ids(bare_port(QStringLiteral("ttyUSB1")), 0x1A86, std::nullopt) << "ttyUSB1";
}

void TestPortList::listingLine()
{
    QFETCH(PortDetails, port);
    QFETCH(QString, line);
    QCOMPARE(port_listing_line(port), line);
}

void TestPortList::listingJson_data()
{
    QTest::addColumn<QList<PortDetails>>("ports");
    QTest::addColumn<QByteArray>("json");
    PortDetails empty_texts = bare_port(QStringLiteral("ttyS4"));
    empty_texts.system_location.clear();

    QTest::newRow("no ports") << QList<PortDetails>{} << QByteArray("[]");
    QTest::newRow("everything known")
        << QList<PortDetails>{ftdi_adapter()}
        << QByteArray(R"([{"name": "ttyUSB0", "system_location": "/dev/ttyUSB0",
                          "description": "FT232R USB UART", "manufacturer": "FTDI",
                          "serial_number": "A50285BI", "vendor_id": "0403",
                          "product_id": "6001"}])");
    QTest::newRow("unknown is null, order kept")
        << QList<PortDetails>{bare_port(QStringLiteral("ttyS0")),
                              with_ids(empty_texts, 0x0ABC, std::nullopt)}
        << QByteArray(R"([{"name": "ttyS0", "system_location": "/dev/ttyS0",
                          "description": null, "manufacturer": null, "serial_number": null,
                          "vendor_id": null, "product_id": null},
                         {"name": "ttyS4", "system_location": null,
                          "description": null, "manufacturer": null, "serial_number": null,
                          "vendor_id": "0abc", "product_id": null}])");
}

void TestPortList::listingJson()
{
    QFETCH(QList<PortDetails>, ports);
    QFETCH(QByteArray, json);
    QJsonParseError error{};
    const QJsonDocument expected = QJsonDocument::fromJson(json, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(QJsonDocument(port_listing_json(ports)), expected);
}

void TestPortList::replacementSources_data()
{
    QTest::addColumn<bool>("with_names");
    QTest::addColumn<bool>("with_details");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QList<PortDetails>>("ports");
    const QList<PortDetails> details{ftdi_adapter(), bare_port(QStringLiteral("ttyS0"))};
    PortDetails com1;
    com1.name = QStringLiteral("COM1");

    QTest::newRow("names only") << true << false << QStringList{"COM1"} << QList<PortDetails>{com1};
    QTest::newRow("details only") << false << true << QStringList{"ttyUSB0", "ttyS0"} << details;
    QTest::newRow("names win for names") << true << true << QStringList{"COM1"} << details;
}

void TestPortList::replacementSources()
{
    QFETCH(bool, with_names);
    QFETCH(bool, with_details);
    QFETCH(QStringList, names);
    QFETCH(QList<PortDetails>, ports);
    if (with_names) {
        set_port_name_source([] { return QStringList{QStringLiteral("COM1")}; });
    }
    if (with_details) {
        set_port_details_source([] {
            return QList<PortDetails>{ftdi_adapter(), bare_port(QStringLiteral("ttyS0"))};
        });
    }
    QCOMPARE(available_port_names(), names);
    QCOMPARE(available_ports(), ports);
}

QTEST_GUILESS_MAIN(TestPortList)
#include "tst_port_list.moc"
