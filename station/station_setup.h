#ifndef KT62_STATION_SETUP_H
#define KT62_STATION_SETUP_H

#include "production/firmware_input.h"
#include "production/production_run.h"

#include <QString>
#include <QStringList>

// What the operator sets up before serving: kept between sessions, given on
// the command line by a line's start-up script, turned into a run.
struct StationOptions
{
    static constexpr int DEFAULT_TIMEOUT_S = RunSettings::DEFAULT_TIMEOUT_MS / 1000;
    static constexpr int DEFAULT_ERASE_TIMEOUT_S = RunSettings::DEFAULT_ERASE_TIMEOUT_MS / 1000;

    QString firmware;
    QStringList ports;   // the ports to serve, as given (a name, a path or a USB identity)
    QStringList entries; // ports added by hand, listed whether or not they are present
    int retries = 0;
    bool skip_same = false;
    int timeout_s = DEFAULT_TIMEOUT_S;
    int erase_timeout_s = DEFAULT_ERASE_TIMEOUT_S;
    QString history; // empty: default_history_path()
    QString language;
    bool start = false; // start serving at once (command line only)
};

// The limits the station shares with kt62-flash.
constexpr int MAX_RETRIES = 100;
constexpr int MAX_TIMEOUT_S = 86400;

// Where the history goes when none is named: history.db in the user's data
// folder (~/.local/share/KT62/kt62-station/ on Linux).
QString default_history_path();

// The options the last session kept (QSettings of the application's names).
StationOptions load_options();
void save_options(const StationOptions &options);

// The command line over the kept options: --port replaces the ports to serve.
struct CommandLine
{
    StationOptions options;
    bool quit = false; // --help, --version or a bad command line: nothing to show
    int exit_code = 0;
    QString output; // for standard output (help, version) or, on an error, standard error
};
CommandLine parse_command_line(const QStringList &arguments, const StationOptions &kept);

// The run a station of these options serves (the history's folder is made).
RunSettings station_settings(const StationOptions &options);

// A firmware file checked as kt62-flash --inspect checks it.
struct FirmwareFacts
{
    FirmwareInspection inspection;
    QString refusal; // empty when an upgrade would send it
};
FirmwareFacts check_firmware(const QString &path);

#endif
