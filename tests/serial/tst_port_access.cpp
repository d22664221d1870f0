#include "serial/port_access.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <unistd.h>

Q_DECLARE_METATYPE(std::optional<PortNodeFacts>)

class TestPortAccess : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { set_port_node_facts_source({}); }
    // A port name as typed, the device node looked at for it and what that look found (it
    // exists, this user may use it, its group, that group may use it), and the group the hint
    // names (none: no hint).
    void hint_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("node");
        QTest::addColumn<std::optional<PortNodeFacts>>("facts");
        QTest::addColumn<QString>("group");
        const auto row = [](const char *tag, const QString &port, const QString &node,
                            const std::optional<PortNodeFacts> &facts, const char *group = "") {
            QTest::newRow(tag) << port << node << facts << QString(group);
        };
        const QString here = QDir::currentPath();
        row("not in the group", "/dev/ttyUSB0", "/dev/ttyUSB0",
            PortNodeFacts{true, false, "dialout", true}, "dialout");
        row("bare name, other group", "ttyACM0", "/dev/ttyACM0",
            PortNodeFacts{true, false, "uucp", true}, "uucp");
        row("accessible: busy or locked", "/dev/serial/by-id/usb-FTDI",
            "/dev/serial/by-id/usb-FTDI", PortNodeFacts{true, true, "dialout", true});
        row("group may not use it either", "./ttyKT62", here + "/ttyKT62",
            PortNodeFacts{true, false, "root", false});
        row("group unknown", "../links/ttyKT62", QDir::cleanPath(here + "/../links/ttyKT62"),
            PortNodeFacts{true, false, "", true});
        // QSerialPort opens "pts/3" as /dev/pts/3, not as a path from here.
        row("no node", "pts/3", "/dev/pts/3", PortNodeFacts{});
        row("no facts", "ttyUSB0", "/dev/ttyUSB0", std::nullopt);
        row("no name, nothing looked at", "", "", PortNodeFacts{true, false, "dialout", true});
    }
    void hint()
    {
        QFETCH(QString, port);
        QFETCH(QString, node);
        QFETCH(std::optional<PortNodeFacts>, facts);
        QFETCH(QString, group);
        QStringList looked_at;
        set_port_node_facts_source([&](const QString &path) {
            looked_at << path;
            return facts;
        });
        const QString hint =
            QString("permission denied on %1: its device node belongs to the group "
                    "%2; join it with \"sudo usermod -aG %2 $USER\", then log in "
                    "again (see \"Serial port access\" in the README)");
        QCOMPARE(permission_hint(port), group.isEmpty() ? QString() : hint.arg(port, group));
        QCOMPARE(port_device_node(port), node);
        QCOMPARE(looked_at, node.isEmpty() ? QStringList() : QStringList{node});
    }
    void realNodeFacts_data()
    {
        QTest::addColumn<bool>("create");
        QTest::addColumn<int>("permissions");
        QTest::addColumn<bool>("group_rw");
        const int owner = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const int group = int(QFileDevice::ReadGroup | QFileDevice::WriteGroup);
        QTest::newRow("group may read and write") << true << (owner | group) << true;
        QTest::newRow("group may only read") << true << (owner | QFileDevice::ReadGroup) << false;
        QTest::newRow("group may only write") << true << (owner | QFileDevice::WriteGroup) << false;
        QTest::newRow("owner may only read")
            << true << (int(QFileDevice::ReadOwner) | group) << true;
        QTest::newRow("missing") << false << 0 << false;
    }
    void realNodeFacts()
    {
        QFETCH(bool, create);
        QFETCH(int, permissions);
        QTemporaryDir dir;
        const QString node = dir.filePath(QStringLiteral("ttyKT62"));
        QFile file(node);
        if (create) {
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.setPermissions(QFileDevice::Permissions(permissions)));
        }
        const std::optional<PortNodeFacts> facts = port_node_facts(node);
#ifdef Q_OS_LINUX
        QVERIFY(facts);
        QCOMPARE(facts->exists, create);
        QTEST(facts->group_read_write, "group_rw");
        if (create) {
            // A new file belongs to this user and this process's group; root passes over the
            // permission bits.
            const group *own = getgrgid(getegid());
            QVERIFY(own);
            QCOMPARE(facts->group, QString::fromLocal8Bit(own->gr_name));
            const bool owner_rw = (permissions & QFileDevice::WriteOwner) != 0;
            QCOMPARE(facts->accessible, owner_rw || geteuid() == 0);
        }
#else
        QVERIFY(!facts);
#endif
    }
};

QTEST_GUILESS_MAIN(TestPortAccess)
#include "tst_port_access.moc"
