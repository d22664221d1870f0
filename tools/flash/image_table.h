#ifndef KT62_IMAGE_TABLE_H
#define KT62_IMAGE_TABLE_H

#include "tools/flash/firmware_input.h"
#include "upgrade/upgrader.h"

// What the engine's packet table says about itself, as inspect_firmware()
// says it of a file: the header and body sum of the bytes that will be sent.
// Checking the table instead of reading the file again means that a file
// replaced after the load (a build writing its output, a swap) can never
// pass the check with one image and send another. path names the file for
// the model and version its name carries.
FirmwareInspection inspect_table(const Upgrader &engine, const QString &path);

#endif
