#ifndef KT62_FLASH_ARGS_H
#define KT62_FLASH_ARGS_H

#include <QString>
#include <QStringList>

// What kt62-flash was asked to do, read from its command line without
// running anything: the commands work from this alone.
struct FlashRequest
{
    enum class Mode
    {
        Upgrade,      // send FIRMWARE to every port, all at once
        CheckVersion, // ask one port for its version
        Inspect,      // check FIRMWARE without sending it
        Encrypt,      // write the encrypted file of a plain image
        ListPorts,
        Help,
        Version,
    };

    static constexpr int DEFAULT_TIMEOUT_MS = 30000;
    static constexpr int DEFAULT_ERASE_TIMEOUT_MS = 600000;

    Mode mode = Mode::Upgrade;
    QStringList ports;  // each once, in the order given
    QString firmware;   // the image to send, check or inspect; may be empty for a check
    QString plain;      // --encrypt's plain image
    QString output_dir; // --encrypt's output folder
    int timeout_ms = DEFAULT_TIMEOUT_MS;             // the longest wait for a step of progress
    int erase_timeout_ms = DEFAULT_ERASE_TIMEOUT_MS; // the longest wait for the erase's end
    QString report_path;                             // empty: no report
    bool force = false;
    bool quiet = false;
    bool verbose = false;
};

// The outcome of reading a command line: a request, or why there is none.
struct FlashArgs
{
    FlashRequest request;
    // Bad usage: the message to show after "kt62-flash: " (exit code 2);
    // empty when the request is good.
    QString error;

    bool ok() const { return error.isEmpty(); }
};

// Reads kt62-flash's arguments (argv[0] first). Pure: prints nothing, exits
// never and needs no application object.
FlashArgs parse_flash_args(const QStringList &arguments);

// What --help prints. Its usage line names the program as the running
// application was started, so call it with the application object alive.
QString flash_help_text();
// What --version prints, without the line end.
QString flash_version_text();

#endif
