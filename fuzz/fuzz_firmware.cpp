// Firmware loading, name rules and the image format from arbitrary file
// names and contents.
#include "firmware/firmware_image.h"
#include "firmware/firmware_name.h"
#include "fuzz/fuzzsupport.h"
#include "upgrade/upgrader.h"

#include <QDir>
#include <QFile>

namespace {
constexpr int MAX_NAME = 200;
constexpr int MAX_CONTENT = 64 * 1024;

// File names come from the input; keep them names, not paths.
QString safe_name(const QByteArray &raw)
{
    QString name = QString::fromUtf8(raw);
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.remove(QChar(0));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        name = QStringLiteral("x");
    }
    return name.left(MAX_NAME);
}

void check_load(const QString &path, const QString &name, const QByteArray &content)
{
    GPI channel;
    int naks = 0;
    QString firmware = path;
    Upgrader engine(&channel, &naks, &firmware);
    engine.m_device_model = QStringLiteral("before");
    engine.m_target_version = QStringLiteral("before");
    FUZZ_CHECK(engine.load_firmware());
    FUZZ_CHECK(engine.m_firmware_size == quint32(content.size()));
    const int packets = int(packet_count_for(content.size()));
    FUZZ_CHECK(engine.m_packet_count == packets);
    FUZZ_CHECK(int(engine.m_packets.size()) == packets);
    QByteArray joined;
    for (const QByteArray &packet : engine.m_packets) {
        FUZZ_CHECK(packet.size() == FIRMWARE_PACKET_SIZE);
        joined += packet;
    }
    FUZZ_CHECK(joined.left(content.size()) == content);
    FUZZ_CHECK(joined.mid(content.size()).count(char(PAD_BYTE)) == joined.size() - content.size());
    FUZZ_CHECK(engine.start_upgrade() == (packets > 0));

    const FirmwareIdentity id = identity_from_file_name(name);
    FUZZ_CHECK(id.has_marker == name.contains(FIRMWARE_MARKER));
    if (id.has_marker) {
        FUZZ_CHECK(engine.m_device_model == id.model);
        FUZZ_CHECK(!id.model.contains(QLatin1Char('_')));
        FUZZ_CHECK(name.startsWith(id.model + QLatin1Char('_')));
    } else {
        FUZZ_CHECK(engine.m_device_model == QLatin1String("before"));
    }
    if (id.has_version) {
        FUZZ_CHECK(id.version.size() == FIRMWARE_VERSION_LENGTH);
        FUZZ_CHECK(engine.m_target_version == id.version);
    } else {
        FUZZ_CHECK(engine.m_target_version == QLatin1String("before"));
    }
}

void check_image(const QByteArray &content)
{
    const QByteArray image = encrypt_image(content);
    FUZZ_CHECK(image.size() == content.size() + ENCRYPT_HEADER_SIZE);
    FUZZ_CHECK(checksum_header_matches(image));
    const QByteArray body = image.mid(ENCRYPT_HEADER_SIZE);
    const QByteArray restored = decrypt_body(body);
    const int tail = content.size() % ENCRYPT_BLOCK_SIZE;
    // Only a tail too short to carry a key word is lost (zeroed).
    const int kept = (tail > 0 && tail < 4) ? content.size() - tail : content.size();
    FUZZ_CHECK(restored.left(kept) == content.left(kept));
    FUZZ_CHECK(restored.mid(kept).count('\0') == restored.size() - kept);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_init_application(fuzz_quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in{data, size};
    const QString name = safe_name(in.bytes(in.byte()));
    const QByteArray content = in.bytes(in.size).left(MAX_CONTENT);

    const QString dir = fuzz_scratch_dir();
    const QString path = dir + QLatin1Char('/') + name;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            return 0; // a name the file system refuses (too long, ...)
        }
        file.write(content);
    }
    check_load(path, name, content);
    QFile::remove(path);

    check_image(content);
    const QString encrypted = encrypted_file_name(name);
    FUZZ_CHECK(encrypted.count(QStringLiteral("_V")) >= name.count(QLatin1Char('_')));
    FUZZ_CHECK(!name.contains(QLatin1Char('_')) || path_has_marker(encrypted));
    return 0;
}
