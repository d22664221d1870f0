#include "production/operator_slips.h"

#include "firmware/file_target.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "history/history.h"
#include "production/firmware_input.h"
#include "production/port_finder.h"
#include "serial/port_access.h"

#include <QDir>
#include <QFileInfo>

namespace {
// One file (device and inode), or for character devices one device: every
// node made for a serial port stands for the same device number.
bool same_numbers(const QString &a, const QString &b)
{
    const NodeNumbers x = node_numbers(a), y = node_numbers(b);
    if (!x.known || !y.known) {
        return false;
    }
    if (x.device == y.device && x.inode == y.inode) {
        return true;
    }
    return x.character_device && y.character_device && x.represents == y.represents;
}

// Where the port's node is, when ports have nodes; otherwise (Windows: COM3)
// its name as the system spells it, without the "\\.\" prefix, in capitals.
QString port_node(const QString &port)
{
    const QString node = port_device_node(port_to_open(port));
    if (!node.isEmpty()) {
        return node;
    }
    const QString device_prefix = QStringLiteral("\\\\.\\");
    return (port.startsWith(device_prefix) ? port.mid(device_prefix.size()) : port).toUpper();
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}
} // namespace

QString port_to_open(const QString &port)
{
#ifdef Q_OS_UNIX
    const bool relative_path =
        port.contains(QLatin1Char('/')) && !port.startsWith(QLatin1Char('/')) &&
        !port.startsWith(QLatin1String("./")) && !port.startsWith(QLatin1String("../"));
    if (relative_path) {
        // Not cleaned: "dir/../tty" must go through dir, as the system goes.
        return QDir::current().absoluteFilePath(port);
    }
#endif
    return port;
}

bool same_node(const QString &a, const QString &b)
{
    const QString canonical_a = QFileInfo(a).canonicalFilePath();
    const QString canonical_b = QFileInfo(b).canonicalFilePath();
    if (canonical_a.isEmpty() || canonical_b.isEmpty()) {
        return canonical_a.isEmpty() && canonical_b.isEmpty() && absolute(a) == absolute(b);
    }
    return canonical_a == canonical_b || same_numbers(a, b);
}

QString same_device_refusal(const QStringList &ports)
{
    // A port given by its USB identity is compared by the port it has now,
    // so that it and the same adapter's name are seen as one device.
    QStringList nodes;
    for (const QString &port : ports) {
        const PortSighting sighting = sight_port(port);
        nodes << port_node(sighting.state == PortSighting::State::Present ? sighting.system_port
                                                                          : port);
    }
    for (int i = 0; i < ports.size(); ++i) {
        for (int j = i + 1; j < ports.size(); ++j) {
            if (same_node(nodes.at(i), nodes.at(j))) {
                return QStringLiteral("--port %1 and --port %2 are the same device; give each "
                                      "device once")
                    .arg(ports.at(i), ports.at(j));
            }
        }
    }
    return QString();
}

QString report_path_refusal(const QString &report, const QString &firmware,
                            const QStringList &ports)
{
    if (report.isEmpty()) {
        return QString();
    }
    const QFileInfo info(report);
    const QString cannot = QStringLiteral("cannot write the report %1: ").arg(report);
    const QFileInfo folder(info.absolutePath());
    if (!folder.isDir()) {
        return cannot + QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
    }
    if (!folder.isWritable()) {
        return cannot + QStringLiteral("the folder %1 cannot be written").arg(folder.filePath());
    }
    if (!firmware.isEmpty() && same_node(report, firmware)) {
        return cannot + QStringLiteral("it is the firmware file %1").arg(firmware);
    }
    for (const QString &port : ports) {
        if (same_node(report, port_node(port))) {
            return cannot + QStringLiteral("it is the port %1").arg(port);
        }
    }
    const QString target = output_file_refusal(report);
    return target.isEmpty() ? QString() : QStringLiteral("cannot write the report ") + target;
}

namespace {
QString plain_image_refusal(const QString &plain, const QString &output_dir)
{
    const QString unfit = input_file_refusal(plain);
    if (!unfit.isEmpty()) {
        return unfit;
    }
    if (path_has_marker(plain)) {
        return QStringLiteral("%1: the path already holds \"_V\"; is it encrypted already?")
            .arg(plain);
    }
    if (!file_name_of(plain).contains(QLatin1Char('_'))) {
        return QStringLiteral("%1: the name needs a \"_\" between model and version, as in "
                              "KT62_01.02.03.04.bin")
            .arg(plain);
    }
    if (!QFileInfo(output_dir).isDir()) {
        return QStringLiteral("%1: no such directory").arg(output_dir);
    }
    return QString();
}
} // namespace

QString encryption_refusal(const QString &plain, const QString &output_dir)
{
    const QString refusal = plain_image_refusal(plain, output_dir);
    if (!refusal.isEmpty()) {
        return refusal;
    }
    const QString output = encrypted_output_path(output_dir, plain);
    if (same_node(plain, output)) {
        return QStringLiteral("%1: the encrypted file would replace the plain image %2 (the same "
                              "file); nothing was written")
            .arg(output, plain);
    }
    const QString target = output_file_refusal(output);
    return target.isEmpty() ? QString() : target + QStringLiteral("; nothing was written");
}

QString history_target_refusal(const QString &history, HistoryTarget *target)
{
    QString error;
    if (!parse_history_target(history, target, &error)) {
        return QStringLiteral("the history %1: %2").arg(history, error);
    }
    if (target->kind == HistoryTarget::Kind::Sqlite) {
        for (const QString &path : {target->path, default_fallback_path(*target)}) {
            error = output_file_refusal(path);
            if (!error.isEmpty()) {
                return QStringLiteral("the history ") + error;
            }
        }
    }
    return QString();
}
