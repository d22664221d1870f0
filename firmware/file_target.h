#ifndef KT62_FILE_TARGET_H
#define KT62_FILE_TARGET_H

#include <QString>

// Where the tools may write a file (a report, an encrypted image, a received
// image): a new file, or one that replaces a regular file or a link to one.
// A file is written beside its target and renamed over it, which would turn
// a device node, a FIFO or a socket into a plain file (as root, /dev/null
// itself), so those, a folder, and links to any of them are refused.

// Empty when path may be written (it does not exist, or is a regular file
// or a link to one); otherwise "PATH: not a regular file (a device)", or
// "(a FIFO)", "(a socket)", "(a folder)".
QString output_file_refusal(const QString &path);

#endif
