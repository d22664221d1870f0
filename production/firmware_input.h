#ifndef KT62_FIRMWARE_INPUT_H
#define KT62_FIRMWARE_INPUT_H

#include <QString>
#include <QStringList>

class Upgrader;

// The checks a firmware file must pass before anything goes to the port:
// a refused file never costs the device an erase.
struct FirmwareInput
{
    bool ok = false;
    QString error; // what is wrong, for the user
    qint64 size = 0;
};

// The largest image the transfer can address (its packet count is 16 bits).
qint64 max_firmware_size();

// "PATH: no such file" or "PATH: not a regular file" (a FIFO, a device, a
// folder), for any file the tools read; empty for a regular file.
QString input_file_refusal(const QString &path);
FirmwareInput check_firmware_input(const QString &path);
// The refusal of a file larger than can be sent, from its size alone (a
// sparse file of gigabytes is refused without reading it); empty when it
// is not too large, or not a regular file.
QString oversize_refusal(const QString &path);

// What an encrypted image says about itself: the identity its name carries
// and whether its 4-byte checksum header matches its body. A plain image
// renamed with "_V" fails the header check; the device would be erased for
// it and then refuse it.
struct FirmwareInspection
{
    bool readable = false;
    QString error;   // why it could not be read
    QString model;   // empty when the name carries none
    QString version; // empty when the name carries none
    qint64 size = 0;
    int packets = 0;
    bool has_header = false; // at least the 4 header bytes are there
    quint32 header = 0;      // what the header says
    quint32 body_sum = 0;    // what the body sums to
    bool header_ok = false;
};

FirmwareInspection inspect_firmware(const QString &path);
// A readable inspection of path, with the model and version its name carries;
// size, packets and header are the caller's to fill in.
FirmwareInspection named_inspection(const QString &path);
// What an engine's packet table says about itself, as inspect_firmware()
// says it of a file: the header and body sum of the bytes that will be sent.
// Checking the table instead of reading the file again means that a file
// replaced after the load (a build writing its output, a swap) can never
// pass the check with one image and send another. path names the file for
// the model and version its name carries.
FirmwareInspection inspect_table(const Upgrader &engine, const QString &path);
// Why the header does not match, for the refusal before an upgrade.
QString header_mismatch_reason(const FirmwareInspection &inspection);
// The refusal of the image at path, whose header does not match: what an
// upgrade says before sending nothing, and what --inspect says of it.
QString header_refusal(const QString &path, const FirmwareInspection &inspection);
// The refusal of an image that is its header alone (an encrypted empty
// image): "PATH: empty image (no firmware bytes); ...". Empty for any other.
QString empty_image_refusal(const QString &path, const FirmwareInspection &inspection);

#endif
