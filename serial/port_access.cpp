#include "serial/port_access.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {
std::function<std::optional<PortNodeFacts>(const QString &)> &facts_source()
{
    static std::function<std::optional<PortNodeFacts>(const QString &)> source;
    return source;
}

#ifdef Q_OS_UNIX
const QString DEVICE_FOLDER = QStringLiteral("/dev/");

bool is_path(const QString &port_name)
{
    static const QStringList path_starts{QStringLiteral("/"), QStringLiteral("./"),
                                         QStringLiteral("../")};
    for (const QString &start : path_starts) {
        if (port_name.startsWith(start)) {
            return true;
        }
    }
    return false;
}
#endif

std::optional<PortNodeFacts> look_at_node(const QString &node)
{
#ifdef Q_OS_LINUX
    const QFileInfo info(node);
    PortNodeFacts facts;
    facts.exists = info.exists();
    if (facts.exists) {
        facts.accessible = info.isReadable() && info.isWritable();
        facts.group = info.group();
        const QFileDevice::Permissions group_rw = QFileDevice::ReadGroup | QFileDevice::WriteGroup;
        facts.group_read_write = (info.permissions() & group_rw) == group_rw;
    }
    return facts;
#else
    Q_UNUSED(node);
    return std::nullopt;
#endif
}
} // namespace

QString port_device_node(const QString &port_name)
{
#ifdef Q_OS_UNIX
    if (port_name.isEmpty()) {
        return {};
    }
    if (is_path(port_name)) {
        return QDir::cleanPath(QDir::current().absoluteFilePath(port_name));
    }
    return DEVICE_FOLDER + port_name;
#else
    Q_UNUSED(port_name);
    return {};
#endif
}

std::optional<PortNodeFacts> port_node_facts(const QString &port_name)
{
    const QString node = port_device_node(port_name);
    if (node.isEmpty()) {
        return std::nullopt;
    }
    return facts_source() ? facts_source()(node) : look_at_node(node);
}

void set_port_node_facts_source(
    std::function<std::optional<PortNodeFacts>(const QString &node)> source)
{
    facts_source() = std::move(source);
}

std::optional<QString> group_to_join(const std::optional<PortNodeFacts> &facts)
{
    if (!facts || !facts->exists || facts->accessible || facts->group.isEmpty() ||
        !facts->group_read_write) {
        return std::nullopt;
    }
    return facts->group;
}

QString permission_hint(const QString &port_name)
{
    const std::optional<QString> group = group_to_join(port_node_facts(port_name));
    if (!group) {
        return {};
    }
    return QStringLiteral("permission denied on %1: its device node belongs to the group %2; "
                          "join it with \"sudo usermod -aG %2 $USER\", then log in again (see "
                          "\"Serial port access\" in the README)")
        .arg(port_name, *group);
}
