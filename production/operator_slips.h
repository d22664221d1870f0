#ifndef KT62_OPERATOR_SLIPS_H
#define KT62_OPERATOR_SLIPS_H

#include "history/history_target.h"

#include <QString>
#include <QStringList>

// Checks for the slips an operator makes on a command line: one device
// named twice, a report written over an input, an output written over its
// source. Each is checked before any port is opened; a refusal (its text
// returned, empty when there is none) sends nothing and writes nothing.

// The name a --port is opened by. A relative path with a "/" in it
// ("out/tty") is meant from the working directory, and becomes an absolute
// path (QSerialPort would look a name that does not start with "/", "./" or
// "../" up under /dev). Bare names ("ttyUSB0", "COM3") are kept as they are.
QString port_to_open(const QString &port);

// Two ports of the request that are one device (the same node under two
// spellings: a link, "dir/../tty", or on Unix two nodes of one device
// number): the device would get two images at once.
QString same_device_refusal(const QStringList &ports);

// A report path whose folder does not exist or cannot be written, that
// would replace the firmware file or one of the ports, or that is no
// regular file (a device, FIFO, socket or folder, or a link to one).
QString report_path_refusal(const QString &report, const QString &firmware,
                            const QStringList &ports);

// An encryption of plain into output_dir that cannot be done as asked: a
// plain image that is missing or no regular file, or whose name would not
// come out carrying the model and version exactly once (the encryption
// dialog refuses the same), a missing output folder, an output that would be
// the plain image itself (through a link, or a second name of the same file)
// or that is no regular file.
QString encryption_refusal(const QString &plain, const QString &output_dir);

// Reads a --history TARGET into target; the refusal is why it cannot be
// one. An SQLite file and the file beside it that keeps rows when the
// database fails are written like every output: each may be new or a
// regular file, never a port, a FIFO (opened, it would wait for ever), a
// socket or a folder.
QString history_target_refusal(const QString &history, HistoryTarget *target);

// Whether the two paths name one file or device node: the same canonical
// path, or on Unix the same file (device and inode) or, for character
// devices, the same device number. Paths that do not exist are one file
// only when they are spelled alike once made absolute.
bool same_node(const QString &a, const QString &b);

#endif
