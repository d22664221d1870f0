#include "firmware/firmware_image.h"

#include "firmware/file_target.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>
#include <QtEndian>

#include <cstdio>
#include <cstring>

quint8 g_encrypt_buffer[ENCRYPT_BUFFER_SIZE];
quint32 g_checksum = 0;

namespace {
constexpr qint32 KEY_WORD_SIZE = 4;

// encrypt_block leaves a 1 to 3 byte tail untouched; the image format wants
// zero bytes there, also where an earlier run left bytes in the buffer.
void encrypt_or_zero(const quint8 *src, quint8 *dst, qint32 length)
{
    if (encrypt_block(src, dst, length) == ENCRYPT_BLOCK_TOO_SHORT) {
        std::memset(dst, 0, size_t(length));
    }
}

// Transforms a whole plain image into body (same length) and returns the
// byte sum of the body.
quint32 encrypt_into(const quint8 *plain, qint64 length, quint8 *body)
{
    reset_checksum();
    for (qint64 offset = 0; offset < length; offset += ENCRYPT_BLOCK_SIZE) {
        const auto block = qint32(qMin<qint64>(ENCRYPT_BLOCK_SIZE, length - offset));
        encrypt_or_zero(plain + offset, body + offset, block);
    }
    return get_checksum();
}

QByteArray checksum_header(quint32 checksum)
{
    QByteArray header(ENCRYPT_HEADER_SIZE, '\0');
    qToLittleEndian(checksum, header.data());
    return header;
}

// Reads the plain image block by block into g_encrypt_buffer. Returns the
// body length, or -1 with status set.
qint64 encrypt_stream_to_buffer(QIODevice &source, EncryptStatus *status)
{
    reset_checksum();
    quint8 block[ENCRYPT_BLOCK_SIZE];
    qint64 offset = 0;
    while (!source.atEnd()) {
        const qint64 got = source.read(reinterpret_cast<char *>(block), ENCRYPT_BLOCK_SIZE);
        if (got <= 0) {
            qDebug() << "firmware file_in read failed!";
            *status = EncryptStatus::SourceUnreadable;
            return -1;
        }
        // A source that grows while it is read must not run past the buffer.
        if (offset + got > ENCRYPT_BUFFER_SIZE) {
            qDebug() << "plain firmware too large: more than" << ENCRYPT_BUFFER_SIZE << "bytes";
            *status = EncryptStatus::SourceTooLarge;
            return -1;
        }
        encrypt_or_zero(block, g_encrypt_buffer + offset, qint32(got));
        offset += got;
    }
    return offset;
}

bool write_all(QSaveFile &out, const char *data, qint64 length)
{
    return out.write(data, length) == length;
}
} // namespace

quint32 encrypt_block(const quint8 *src, quint8 *dst, qint32 length)
{
    if (length < KEY_WORD_SIZE) {
        std::fputs("Error: length little 4byte\n", stdout);
        std::fflush(stdout);
        return ENCRYPT_BLOCK_TOO_SHORT;
    }
    quint32 word = qFromLittleEndian<quint32>(src);
    // Only full blocks carry the key; a shorter last block goes out as is.
    if (length == ENCRYPT_BLOCK_SIZE) {
        word ^= ENCRYPT_KEY;
    }
    qToLittleEndian(word, dst);
    std::memcpy(dst + KEY_WORD_SIZE, src + KEY_WORD_SIZE, size_t(length - KEY_WORD_SIZE));
    const quint32 sum = byte_sum(reinterpret_cast<const char *>(dst), length);
    g_checksum += sum;
    return sum;
}

void reset_checksum()
{
    g_checksum = 0;
}

quint32 get_checksum()
{
    return g_checksum;
}

quint32 byte_sum(const char *data, qint64 len)
{
    // Eight bytes at a time: the bytes of a word are added pairwise into four
    // 16-bit lanes, which a run of SUM_WORDS_PER_FOLD words cannot overflow
    // (128 * 2 * 255 < 65536); the lanes are folded into the total after
    // each run. Several times faster than a byte loop on large images.
    constexpr quint64 ODD_BYTES = 0x00FF00FF00FF00FFull;
    constexpr quint64 LOW_LANES = 0x0000FFFF0000FFFFull;
    constexpr qint64 WORD = sizeof(quint64);
    constexpr qint64 SUM_WORDS_PER_FOLD = 128;
    quint64 sum = 0;
    while (len >= WORD) {
        const qint64 words = qMin(len / WORD, SUM_WORDS_PER_FOLD);
        quint64 lanes = 0;
        for (qint64 i = 0; i < words; ++i, data += WORD) {
            quint64 word;
            std::memcpy(&word, data, WORD);
            lanes += (word & ODD_BYTES) + ((word >> 8) & ODD_BYTES);
        }
        lanes = (lanes & LOW_LANES) + ((lanes >> 16) & LOW_LANES);
        sum += (lanes & 0xFFFFFFFFu) + (lanes >> 32);
        len -= words * WORD;
    }
    for (; len > 0; --len) {
        sum += quint8(*data++);
    }
    return quint32(sum);
}

QByteArray encrypt_image(const QByteArray &plain)
{
    QByteArray body(plain.size(), '\0');
    const quint32 checksum = encrypt_into(reinterpret_cast<const quint8 *>(plain.constData()),
                                          plain.size(), reinterpret_cast<quint8 *>(body.data()));
    return checksum_header(checksum) + body;
}

QByteArray decrypt_body(const QByteArray &body)
{
    QByteArray plain = body;
    quint8 *data = reinterpret_cast<quint8 *>(plain.data());
    for (qint64 offset = 0; offset + ENCRYPT_BLOCK_SIZE <= plain.size();
         offset += ENCRYPT_BLOCK_SIZE) {
        const quint32 word = qFromLittleEndian<quint32>(data + offset) ^ ENCRYPT_KEY;
        qToLittleEndian(word, data + offset);
    }
    return plain;
}

bool checksum_header_matches(const QByteArray &image)
{
    if (image.size() < ENCRYPT_HEADER_SIZE) {
        return false;
    }
    const quint32 header = qFromLittleEndian<quint32>(image.constData());
    return header ==
           byte_sum(image.constData() + ENCRYPT_HEADER_SIZE, image.size() - ENCRYPT_HEADER_SIZE);
}

EncryptResult encrypt_firmware_stream(QIODevice &source, const QString &output_path)
{
    EncryptResult result;
    // Refused before anything is read or written: the buffer has no room.
    if (!source.isSequential() && source.size() > ENCRYPT_BUFFER_SIZE) {
        qDebug() << "plain firmware too large:" << source.size() << "bytes, at most"
                 << ENCRYPT_BUFFER_SIZE;
        result.status = EncryptStatus::SourceTooLarge;
        return result;
    }
    // The rename below would replace a device or a FIFO with a plain file.
    if (!output_file_refusal(output_path).isEmpty()) {
        qDebug() << "firmware file_out refused:" << output_file_refusal(output_path);
        result.status = EncryptStatus::OutputFailed;
        return result;
    }
    // The temporary file is only renamed over output_path by commit(), so a
    // failure anywhere below leaves an existing file exactly as it was.
    QSaveFile out(output_path);
    if (!out.open(QIODevice::WriteOnly)) {
        qDebug() << "firmware file_out open failed!";
        result.status = EncryptStatus::OutputFailed;
        return result;
    }
    const qint64 length = encrypt_stream_to_buffer(source, &result.status);
    if (length < 0) {
        out.cancelWriting();
        return result;
    }
    result.plain_size = length;
    result.checksum = get_checksum();
    qDebug() << "encrypt checksum is:" << result.checksum;

    // The explicit flush matters: commit() flushes too, but does not fail
    // when that last flush falls short (a full disk), and would rename a
    // truncated file over the old one.
    const QByteArray header = checksum_header(result.checksum);
    if (!write_all(out, header.constData(), header.size()) ||
        !write_all(out, reinterpret_cast<const char *>(g_encrypt_buffer), length) || !out.flush() ||
        !out.commit()) {
        qDebug() << "firmware file_out write failed!";
        out.cancelWriting();
        result.status = EncryptStatus::OutputFailed;
    }
    return result;
}

EncryptResult encrypt_firmware_file(const QString &source_path, const QString &output_path)
{
    QFile source(source_path);
    if (!source.open(QIODevice::ReadOnly)) {
        qDebug() << "firmware file_in open failed!";
        EncryptResult result;
        result.status = EncryptStatus::SourceUnreadable;
        return result;
    }
    return encrypt_firmware_stream(source, output_path);
}
