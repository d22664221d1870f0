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
        row("not in the group", "ttyACM0", "/dev/ttyACM0", PortNodeFacts{true, false, "uucp", true},
            "uucp");
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
    // The facts of a real node: this user's own file, in this process's group; root passes over
    // the permission bits.
    void realNodeFacts_data()
    {
        QTest::addColumn<int>("permissions"); // -1: no file
        QTest::addColumn<bool>("group_rw");
        const int owner = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const int group = int(QFileDevice::ReadGroup | QFileDevice::WriteGroup);
        QTest::newRow("group may read and write") << (owner | group) << true;
        QTest::newRow("group may only read") << (owner | QFileDevice::ReadGroup) << false;
        QTest::newRow("owner may only read") << (int(QFileDevice::ReadOwner) | group) << true;
        QTest::newRow("missing") << -1 << false;
    }
    void realNodeFacts()
    {
        QFETCH(int, permissions);
        QTemporaryDir dir;
        QFile file(dir.filePath("ttyKT62"));
        QVERIFY(permissions < 0 || (file.open(QIODevice::WriteOnly) &&
                                    file.setPermissions(QFileDevice::Permissions(permissions))));
        const std::optional<PortNodeFacts> facts = port_node_facts(file.fileName());
#ifdef Q_OS_LINUX
        QVERIFY(facts);
        QCOMPARE(facts->exists, permissions >= 0);
        QTEST(facts->group_read_write, "group_rw");
        if (permissions >= 0) {
            const group *own = getgrgid(getegid());
            QVERIFY(own);
            QCOMPARE(facts->group, QString::fromLocal8Bit(own->gr_name));
            QCOMPARE(facts->accessible,
                     (permissions & QFileDevice::WriteOwner) != 0 || geteuid() == 0);
        }
#else
        QVERIFY(!facts);
#endif
    }
};

QTEST_GUILESS_MAIN(TestPortAccess)
#include "tst_port_access.moc"
