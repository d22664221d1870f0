#include "serial/port_access.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <unistd.h>

Q_DECLARE_METATYPE(std::optional<PortNodeFacts>)

namespace {
PortNodeFacts node_facts(bool exists, bool accessible, const QString &group, bool group_rw)
{
    PortNodeFacts facts;
    facts.exists = exists;
    facts.accessible = accessible;
    facts.group = group;
    facts.group_read_write = group_rw;
    return facts;
}
} // namespace

class TestPortAccess : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();
    void deviceNode_data();
    void deviceNode();
    void hint_data();
    void hint();
    void realNodeFacts_data();
    void realNodeFacts();
};

void TestPortAccess::cleanup()
{
    set_port_node_facts_source({});
}

void TestPortAccess::deviceNode_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("node");
    const QString here = QDir::currentPath();
    QTest::newRow("bare name") << "ttyUSB0"
                               << "/dev/ttyUSB0";
    QTest::newRow("absolute path") << "/dev/serial/by-id/usb-FTDI"
                                   << "/dev/serial/by-id/usb-FTDI";
    QTest::newRow("relative path") << "./ttyKT62" << here + "/ttyKT62";
    QTest::newRow("parent path") << "../links/ttyKT62"
                                 << QDir::cleanPath(here + "/../links/ttyKT62");
    // QSerialPort opens "pts/3" as /dev/pts/3, not as a path from here.
    QTest::newRow("name with a folder") << "pts/3"
                                        << "/dev/pts/3";
    QTest::newRow("empty") << ""
                           << "";
}

void TestPortAccess::deviceNode()
{
    QFETCH(QString, port);
    QFETCH(QString, node);
    QCOMPARE(port_device_node(port), node);
}

void TestPortAccess::hint_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<std::optional<PortNodeFacts>>("facts");
    QTest::addColumn<QString>("hint");
    QTest::newRow("not in the group")
        << "/dev/ttyUSB0" << std::optional(node_facts(true, false, "dialout", true))
        << "permission denied on /dev/ttyUSB0: its device node belongs to the group dialout; "
           "join it with \"sudo usermod -aG dialout $USER\", then log in again (see \"Serial "
           "port access\" in the README)";
    QTest::newRow("port as typed, other group")
        << "ttyACM0" << std::optional(node_facts(true, false, "uucp", true))
        << "permission denied on ttyACM0: its device node belongs to the group uucp; join it "
           "with \"sudo usermod -aG uucp $USER\", then log in again (see \"Serial port access\" "
           "in the README)";
    QTest::newRow("accessible: busy or locked")
        << "/dev/ttyUSB0" << std::optional(node_facts(true, true, "dialout", true)) << "";
    QTest::newRow("group may not use it either")
        << "/dev/ttyS0" << std::optional(node_facts(true, false, "root", false)) << "";
    QTest::newRow("group unknown")
        << "/dev/ttyUSB0" << std::optional(node_facts(true, false, "", true)) << "";
    QTest::newRow("no node") << "/dev/ttyUSB9" << std::optional(node_facts(false, false, "", false))
                             << "";
    QTest::newRow("no facts") << "/dev/ttyUSB0" << std::optional<PortNodeFacts>() << "";
}

void TestPortAccess::hint()
{
    QFETCH(QString, port);
    QFETCH(std::optional<PortNodeFacts>, facts);
    QFETCH(QString, hint);
    QStringList looked_at;
    set_port_node_facts_source([&](const QString &node) {
        looked_at << node;
        return facts;
    });
    QCOMPARE(permission_hint(port), hint);
    QCOMPARE(looked_at, QStringList{port_device_node(port)});
    const std::optional<QString> group = group_to_join(facts);
    QCOMPARE(group.has_value(), !hint.isEmpty());
    if (group) {
        QCOMPARE(*group, facts->group);
    }
}

void TestPortAccess::realNodeFacts_data()
{
    QTest::addColumn<bool>("create");
    QTest::addColumn<int>("permissions");
    QTest::addColumn<bool>("group_rw");
    const int owner_rw = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const int group_rw = int(QFileDevice::ReadGroup | QFileDevice::WriteGroup);
    QTest::newRow("owner and group") << true << (owner_rw | group_rw) << true;
    QTest::newRow("owner only") << true << owner_rw << false;
    QTest::newRow("group may only read")
        << true << (owner_rw | int(QFileDevice::ReadGroup)) << false;
    QTest::newRow("owner may only read")
        << true << int(QFileDevice::ReadOwner | QFileDevice::ReadGroup) << false;
    QTest::newRow("no bits at all") << true << 0 << false;
    QTest::newRow("missing") << false << 0 << false;
}

void TestPortAccess::realNodeFacts()
{
    QFETCH(bool, create);
    QFETCH(int, permissions);
    QFETCH(bool, group_rw);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString node = dir.filePath(QStringLiteral("ttyKT62"));
    if (create) {
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.setPermissions(QFileDevice::Permissions(permissions)));
    }
    const std::optional<PortNodeFacts> facts = port_node_facts(node);
#ifdef Q_OS_LINUX
    QVERIFY(facts);
    QCOMPARE(facts->exists, create);
    QCOMPARE(facts->group_read_write, group_rw);
    if (create) {
        // A new file belongs to this user and this process's group; root
        // passes over the permission bits.
        const group *own = getgrgid(getegid());
        QVERIFY(own);
        QCOMPARE(facts->group, QString::fromLocal8Bit(own->gr_name));
        const int owner_rw_bits = int(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        const bool owner_rw = (permissions & owner_rw_bits) == owner_rw_bits;
        QCOMPARE(facts->accessible, owner_rw || geteuid() == 0);
    }
#else
    QVERIFY(!facts);
#endif
}

QTEST_GUILESS_MAIN(TestPortAccess)
#include "tst_port_access.moc"
