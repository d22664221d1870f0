#ifndef KT62_FIRMWARE_NAME_H
#define KT62_FIRMWARE_NAME_H

#include <QString>

// The firmware identity carried by a name: model, the marker "_V", an
// 11-character version and a rest such as ".bin". Model and version are
// opaque text; nothing here parses or compares them.

constexpr int FIRMWARE_VERSION_LENGTH = 11;
extern const QString FIRMWARE_MARKER; // "_V", case-sensitive
extern const QString FIRMWARE_FILTER; // "*.bin"

struct FirmwareIdentity
{
    bool has_marker = false;  // the name holds "_V"
    QString model;            // text before the first "_" (only with the marker)
    bool has_version = false; // the piece after the first "_" was long enough
    QString version;          // its 11 characters after its first character
};

// Identity from a path: only its last component is looked at.
FirmwareIdentity identity_from_file_name(const QString &path);

// The version rule shared by file names and the device's answer: the piece
// between the first and second "_" must be longer than 11 characters, and
// its first character is skipped whatever it is. Empty when not found.
QString version_from_identity_text(const QString &text, bool *found = nullptr);

// The version text the device is asked about: the file name without any
// ".bin" (case-sensitive), cut to its last 11 characters; empty when the
// name is not longer than that. For a canonical name it is the version.
QString query_text_from_path(const QString &path);

// Whether a whole path (directories included) holds "_V".
bool path_has_marker(const QString &path);

// The encrypted name: every "_" of the plain file name becomes "_V".
QString encrypted_file_name(const QString &plain_file_name);

// Output directory, "/" unless it already ends with one, then the encrypted
// name of the plain file.
QString encrypted_output_path(const QString &output_dir, const QString &plain_path);

// File name part of a path: the text after its last separator ("/", and on
// Windows also "\").
QString file_name_of(const QString &path);

#endif
