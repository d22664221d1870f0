#ifndef KT62_FIRMWARE_INPUT_H
#define KT62_FIRMWARE_INPUT_H

#include <QString>

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

FirmwareInput check_firmware_input(const QString &path);

#endif
