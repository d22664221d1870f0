// kt62-flash's ports chosen by USB identity from a fake port list leading to two kt62-sim
// devices; and why a real pty does not open, for root and for another user.
#include "firmware/firmware_image.h"
#include "serial/port_list.h"
#include "tests/support/logcapture.h"
#include "tests/tools/flash_run.h"
#include "tools/flash/flash_commands.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/stat.h>

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
    void cleanup() { set_port_details_source({}); }

    void usbSelection_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<int>("device"); // the one upgraded; -1: none heard from the flasher
        const auto row = [](const char *tag, const QString &flags, int device) {
            QTest::newRow(tag) << flags << device;
        };
        row("identity with serial number", "--port usb:0403:6001:B2", 1);
        row("only one of its kind", "--port usb:2e8a:000a", 0);
        // Several ports: the one that cannot be told apart holds back the other too.
        row("several match beside a good one", "--port usb:0403:6001:B2 --port usb:0403:6001", -1);
        row("identity and its own port", "--port usb:0403:6001:B2 --port " + link(1), -1);
        row("none matches yet, waited for", "--wait --port usb:1a86:7523:late", 1);
    }

    void usbSelection()
    {
        QFETCH(QString, flags);
        QFETCH(int, device);
        constexpr qint64 LATE_MS = 300; // when the late adapter shows in the list
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
        QFile::remove(path("r.json"));
        const LogCapture trace; // the engine's trace of every frame stays out of the test's log
        const FlashArgs args = parse_flash_args(
            QStringList{"kt62-flash", "--quiet", "--timeout", "5", "--report", path("r.json")} +
                flags.split(' ')
            << m_good);
        QVERIFY2(args.ok(), qPrintable(args.error));
        QCOMPARE(run_ports(args.request), device < 0 ? 2 : 0);
        const QJsonObject entry = report(path("r.json"), 0);
        for (int i = 0; i < 2; ++i) {
            const QString heard = std::exchange(m_sims[i]->out, QString()); // since the last row
            QCOMPARE(heard.contains("start sequence"), i == device);
        }
        QCOMPARE(entry.value("system_port").toString(), device < 0 ? QString() : link(device));
        QCOMPARE(entry.value("result").toString(), device < 0 ? "bad input" : "success");
    }

    void openFailure_data()
    {
        QTest::addColumn<QString>("user");   // who runs the flasher
        QTest::addColumn<int>("mode");       // given to the pty's node; 0 leaves it as it is
        QTest::addColumn<bool>("held");      // by another kt62-flash, under the link's name
        QTest::addColumn<QString>("reason"); // after "cannot open the port PORT: "
        const QString in_use = "in use by another program";
        // The lock file goes by the name and root passes the port's exclusive mode; the lock on
        // the device holds under any name, for anyone.
        QTest::newRow("held under another name, as root") << "root" << 0 << true << in_use;
        QTest::newRow("held under another name, as another user")
            << "nobody" << 0666 << true << in_use;
        QTest::newRow("its group's, not this user's")
            << "nobody" << 0660 << false
            << "permission denied on PORT: its device node belongs to the group GROUP; join it "
               "with \"sudo usermod -aG GROUP $USER\", then log in again (see \"Serial port "
               "access\" in the README)";
    }

    void openFailure() // on a real pty, as root and as another user
    {
        QFETCH(QString, user);
        QFETCH(int, mode);
        QFETCH(bool, held);
        QFETCH(QString, reason);
        Sim sim({"--babble"}); // never answers: a holder keeps waiting
        QVERIFY(sim.ready());
        const QString pty = QFileInfo(sim.link).symLinkTarget();
        std::unique_ptr<Tool> holder;
        if (held) {
            holder = std::make_unique<Tool>(
                QStringList{"--check-version", "--port", sim.link, "--timeout", "60"});
            QVERIFY(sim.hears("query"));
        }
        QVERIFY(mode == 0 || ::chmod(qPrintable(pty), mode_t(mode)) == 0);
        const QStringList check{"--check-version", "--quiet", "--port", pty, "--timeout", "5"};
        const QString flash = Tool::built("flash/kt62-flash");
        const Run run(user == "root" ? check : QStringList{"-u", user, "--", flash} + check, "/",
                      user == "root" ? flash : "/usr/sbin/runuser");
        QCOMPARE(run.code, 3);
        reason.replace("PORT", pty).replace("GROUP", QFileInfo(pty).group());
        QVERIFY2(run.err.contains("kt62-flash: cannot open the port " + pty + ": " + reason + "\n"),
                 qPrintable(run.err));
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
