#ifndef KT62_FIRMWARE_IMAGE_H
#define KT62_FIRMWARE_IMAGE_H

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

// The encrypted image: a 4-byte little-endian byte sum of the body, then the
// plain image with the first word of every full 1024-byte block XORed with
// ENCRYPT_KEY. A last block of 1 to 3 bytes is not copied; its places hold
// zero.

constexpr int ENCRYPT_BUFFER_SIZE = 5242880;
constexpr int ENCRYPT_BLOCK_SIZE = 1024;
constexpr quint32 ENCRYPT_KEY = 0x2D6B9F17;
constexpr int ENCRYPT_HEADER_SIZE = 4;
// encrypt_block's answer for a block too short to carry a key word.
constexpr quint32 ENCRYPT_BLOCK_TOO_SHORT = 0xFFFFFFFFu;

extern quint8 g_encrypt_buffer[ENCRYPT_BUFFER_SIZE];
extern quint32 g_checksum;

// Transforms one block into dst and adds its byte sum to g_checksum; a block
// shorter than 4 bytes is refused with a line on standard output.
quint32 encrypt_block(const quint8 *src, quint8 *dst, qint32 length);
void reset_checksum();
quint32 get_checksum();

// The whole encrypted file for a plain image held in memory.
QByteArray encrypt_image(const QByteArray &plain);
// The XOR of every full 1024-byte body block undone (the transform is its
// own inverse; a 1 to 3 byte tail stays zero).
QByteArray decrypt_body(const QByteArray &body);
// Byte sum modulo 2^32.
quint32 byte_sum(const char *data, qint64 len);
// Whether the first 4 bytes of an encrypted image match the sum of the rest.
bool checksum_header_matches(const QByteArray &image);

enum class EncryptStatus
{
    Ok,
    SourceUnreadable, // cannot be opened, or a read failed midway
    SourceTooLarge,   // more than ENCRYPT_BUFFER_SIZE bytes
    OutputFailed,     // output is no file to replace, or could not be opened, written or committed
};

struct EncryptResult
{
    EncryptStatus status = EncryptStatus::Ok;
    quint32 checksum = 0;
    qint64 plain_size = 0;
};

// Encrypts a plain image file into output_path through the work buffer.
// The output is replaced atomically: on any failure nothing at output_path
// is created or changed. Only a regular file (or a link to one) is replaced
// (see file_target.h).
EncryptResult encrypt_firmware_file(const QString &source_path, const QString &output_path);
// The same from an open source device, read from its current position.
EncryptResult encrypt_firmware_stream(QIODevice &source, const QString &output_path);

#endif
