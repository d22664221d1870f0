// kt62-flash in-process, its ports chosen by USB identity from a fake port list whose entries lead
// to two kt62-sim devices, and the hint it gives when a port's device node is not this user's.
#include "firmware/firmware_image.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "tests/support/logcapture.h"
#include "tests/tools/flash_run.h"
#include "tools/flash/flash_commands.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {
constexpr qint64 LATE_MS = 300; // when the late adapter shows in the list

// A run of kt62-flash in this process; its exit code and the report's one entry.
int flash(const QStringList &arguments, QJsonObject *entry)
{
    QTemporaryDir dir;
    const FlashArgs args = parse_flash_args(
        QStringList{"kt62-flash", "--quiet", "--timeout", "5", "--report", dir.filePath("r.json")} +
        arguments);
    const int code = args.ok() ? run_upgrade(args.request) : -1;
    *entry = report(dir.filePath("r.json"), 0);
    return code;
}
} // namespace

class TestFlashPorts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(write_file(path("KT62_01.02.03.04.bin"), QByteArray(5000, 'k')));
        QVERIFY(encrypt_firmware_file(path("KT62_01.02.03.04.bin"), m_good).status ==
                EncryptStatus::Ok);
        for (auto &sim : m_sims) {
            sim = std::make_unique<Sim>(QStringList());
            QVERIFY(sim->ready());
        }
    }
    void cleanup()
    {
        set_port_details_source({});
        set_port_node_facts_source({});
    }

    void usbSelection_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<int>("device"); // the one upgraded; -1: none heard from the flasher
        const auto row = [](const char *tag, const QString &flags, int device) {
            QTest::newRow(tag) << flags << device;
        };
        row("identity with serial number", "--port usb:0403:6001:B2", 1);
        // The only adapter of its kind needs no serial number; its ids are hex in any case.
        row("ids in either case", "--port USB:2e8A:000A", 0);
        row("serial number compared exactly", "--port usb:0403:6001:a1", -1);
        row("several match", "--port usb:0403:6001", -1);
        // Several ports: the one that cannot be told apart holds back the other too.
        row("several match beside a good one", "--port usb:0403:6001:B2 --port usb:0403:6001", -1);
        row("none matches", "--port usb:0403:6001:C3", -1);
        // One adapter named by its identity and by its port is one device.
        row("identity and its own port", "--port usb:0403:6001:B2 --port " + link(1), -1);
        row("none matches yet, waited for", "--wait --port usb:1a86:7523:late", 1);
    }

    void usbSelection()
    {
        QFETCH(QString, flags);
        QFETCH(int, device);
        QElapsedTimer since;
        since.start();
        const QString a = link(0), b = link(1);
        set_port_details_source([a, b, since] {
            QList<PortDetails> ports{{"ttyUSB0", a, {}, {}, "A1", 0x0403, 0x6001},
                                     {"ttyUSB1", b, {}, {}, "B2", 0x0403, 0x6001},
                                     {"ttyACM0", a, {}, {}, "", 0x2e8a, 0x0a},
                                     {"ttyS0", "/dev/ttyS0", {}, {}, {}, {}, {}}};
            if (since.elapsed() >= LATE_MS) {
                ports << PortDetails{"ttyUSB2", b, {}, {}, "late", 0x1a86, 0x7523};
            }
            return ports;
        });
        QJsonObject entry;
        const LogCapture trace; // the engine's trace of every frame stays out of the test's log
        QCOMPARE(flash(flags.split(' ') << m_good, &entry), device < 0 ? 2 : 0);
        for (int i = 0; i < 2; ++i) {
            const QString heard = std::exchange(m_sims[i]->out, QString()); // since the last row
            QCOMPARE(heard.contains("start sequence"), i == device);
        }
        QCOMPARE(entry.value("system_port").toString(), device < 0 ? QString() : link(device));
        QCOMPARE(entry.value("result").toString(), device < 0 ? "bad input" : "success");
    }

    void permissionHint_data()
    {
        QTest::addColumn<bool>("accessible"); // for this user
        QTest::addColumn<QString>("reason");  // after "cannot open the port PORT"
        QTest::newRow("not in the node's group")
            << false
            << ": permission denied on %1: its device node belongs to the group dialout; join it "
               "with \"sudo usermod -aG dialout $USER\", then log in again (see \"Serial port "
               "access\" in the README)";
        // Open to this user, so busy or locked by another program: no group would help.
        QTest::newRow("busy") << true << "";
    }

    void permissionHint()
    {
        QFETCH(bool, accessible);
        QFETCH(QString, reason);
        set_port_node_facts_source([accessible](const QString &) {
            PortNodeFacts facts;
            facts.exists = true, facts.accessible = accessible;
            facts.group = "dialout", facts.group_read_write = true;
            return std::optional<PortNodeFacts>(facts);
        });
        const QString port = path("ttyLOCKED"); // does not open, whatever its node is said to be
        QJsonObject entry;
        QCOMPARE(flash({"--port", port, m_good}, &entry), 3);
        QCOMPARE(entry.value("message").toString(),
                 "cannot open the port " + port + reason.arg(port));
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString link(int device) const { return m_sims[device]->link; }
    QTemporaryDir m_dir;
    QString m_good = path("KT62_V01.02.03.04.bin");
    std::unique_ptr<Sim> m_sims[2]; // serving run after run
};

QTEST_GUILESS_MAIN(TestFlashPorts)
#include "tst_flash_ports.moc"
