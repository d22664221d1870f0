#ifndef KT62_FLASH_ARGS_H
#define KT62_FLASH_ARGS_H

#include "history/history_export.h"
#include "production/production_run.h"

#include <QString>
#include <QStringList>

// What kt62-flash was asked to do, read from its command line without
// running anything: the commands work from this alone.
struct FlashRequest
{
    enum class Mode
    {
        Upgrade,      // send FIRMWARE to every port, all at once
        Station,      // send FIRMWARE to board after board on every port, until a signal
        CheckVersion, // ask one port for its version
        Inspect,      // check FIRMWARE without sending it
        Encrypt,      // write the encrypted file of a plain image
        ListPorts,
        Export, // print the history's rows
        Help,
        Version,
    };

    static constexpr int MAX_RETRIES = 100;

    Mode mode = Mode::Upgrade;
    // Each once, in the order given; a USB identity in its canonical form
    // (usb:0403:6001:SERIAL, ids in lowercase hex).
    QStringList ports;
    QString firmware;   // the image to send, check or inspect; may be empty for a check
    QString plain;      // --encrypt's plain image
    QString output_dir; // --encrypt's output folder
    int timeout_ms = RunSettings::DEFAULT_TIMEOUT_MS; // the longest wait for a step of progress
    int erase_timeout_ms = RunSettings::DEFAULT_ERASE_TIMEOUT_MS; // for the erase's end
    QString report_path;                                          // empty: no report
    bool force = false;
    bool quiet = false;
    bool verbose = false;
    bool json = false;      // events as JSON Lines on standard output
    int retries = 0;        // further runs of a port after exit code 1, 3 or 4
    bool skip_same = false; // leave a device alone that runs the image's version
    bool wait = false;      // wait up to the time-out for each port to appear
    QString history;        // an SQLite file or a PostgreSQL URL; empty: none
    QString station_name;   // the station's name in the history
    ExportFormat export_format = ExportFormat::Csv;
    HistoryFilter filter; // --since and --result of an export

    // What the production core is asked to do for an upgrade, a station or
    // a version check.
    RunSettings run_settings() const;
};

// The outcome of reading a command line: a request, or why there is none.
struct FlashArgs
{
    FlashRequest request;
    // Bad usage: the message to show after "kt62-flash: " (exit code 2);
    // empty when the request is good.
    QString error;

    bool ok() const { return error.isEmpty(); }
    // The error without the hint to try --help, for the report.
    QString reason() const;
};

// Reads kt62-flash's arguments (argv[0] first). Pure: prints nothing, exits
// never and needs no application object. A refused command line keeps in
// its request what could be read of the report's path, ports and file.
FlashArgs parse_flash_args(const QStringList &arguments);

// What --help prints. Its usage line names the program as the running
// application was started, so call it with the application object alive.
QString flash_help_text();
// What --version prints, without the line end.
QString flash_version_text();

#endif
