#include "firmware/firmware_name.h"
#include "upgrade/upgrader.h"

#include <QDebug>
#include <QFile>

namespace {
enum class SliceResult
{
    Ok,
    ReadFailed,
    TooManyPackets
};

// Cuts everything source delivers into packets of packet_size bytes; only
// the last may come short and is padded with PAD_BYTE. A short read that is
// not the end, or a read that fails, spoils the whole table: padding in the
// middle of an image would be flashed as firmware.
SliceResult slice_packets(QIODevice &source, int packet_size, std::vector<QByteArray> &packets,
                          qint64 &bytes_read)
{
    bytes_read = 0;
    while (!source.atEnd()) {
        if (packets.size() >= size_t(MAX_PACKET_COUNT)) {
            return SliceResult::TooManyPackets;
        }
        // Allocated at its exact size and filled with the pad byte, so that a
        // short last read needs no append (which would double the storage).
        QByteArray packet(packet_size, char(PAD_BYTE));
        const qint64 got = source.read(packet.data(), packet_size);
        if (got <= 0) {
            return SliceResult::ReadFailed;
        }
        bytes_read += got;
        packets.push_back(packet);
        if (got < packet_size && !source.atEnd()) {
            return SliceResult::ReadFailed;
        }
    }
    return SliceResult::Ok;
}
} // namespace

bool Upgrader::load_firmware()
{
    const QString path = *m_firmware_file;
    if (path.isEmpty()) {
        qDebug() << "firmware filename empty";
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        forget_table();
        return false;
    }
    return load_firmware_from(file, path);
}

bool Upgrader::adopt_table(const Upgrader &other)
{
    if (!other.m_load_ok || other.m_loaded_file != *m_firmware_file) {
        return false;
    }
    m_packets = other.m_packets;
    m_packet_count = other.m_packet_count;
    m_firmware_size = other.m_firmware_size;
    m_load_ok = true;
    m_loaded_file = other.m_loaded_file;
    apply_identity(m_loaded_file);
    return true;
}

void Upgrader::forget_table()
{
    m_packets.clear();
    m_packet_count = 0;
    m_load_ok = false;
    m_loaded_file.clear();
}

bool Upgrader::load_firmware_from(QIODevice &source, const QString &path)
{
    forget_table();
    // The count that the transfer and the progress use is 16 bits wide.
    // Refused before reading a byte when the size is known up front.
    const qint64 size = source.size();
    if (!source.isSequential() && packet_count_for(size) > MAX_PACKET_COUNT) {
        qDebug() << path << "firmware too large:" << size << "bytes, at most" << MAX_PACKET_COUNT
                 << "packets";
        return false;
    }

    std::vector<QByteArray> packets;
    qint64 bytes_read = 0;
    const SliceResult sliced = slice_packets(source, m_packet_size, packets, bytes_read);
    if (sliced == SliceResult::TooManyPackets) {
        qDebug() << path << "firmware too large: more than" << MAX_PACKET_COUNT << "packets";
        return false;
    }
    if (sliced == SliceResult::ReadFailed) {
        qDebug() << path << "firmware read failed:" << source.errorString();
        return false;
    }
    // A file that ends before the size it had when the load began (cut
    // short meanwhile) would be sent as an image it never was.
    if (!source.isSequential() && bytes_read != size) {
        qDebug() << path << "firmware read short:" << bytes_read << "of" << size << "bytes";
        return false;
    }

    m_firmware_size = quint32(bytes_read);
    m_packets = std::move(packets);
    m_packet_count = quint16(m_packets.size());
    qDebug() << path << "firwmare sliced into " << m_packet_count << "packet";

    m_load_ok = true;
    m_loaded_file = path;
    apply_identity(path);
    return true;
}

void Upgrader::apply_identity(const QString &path)
{
    const FirmwareIdentity identity = identity_from_file_name(path);
    if (!identity.has_marker) {
        return;
    }
    m_device_model = identity.model;
    if (identity.has_version) {
        m_target_version = identity.version;
        emit target_firmware_update();
    }
    emit device_info_update();
}
