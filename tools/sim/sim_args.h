#ifndef KT62_SIM_ARGS_H
#define KT62_SIM_ARGS_H

#include "tools/sim/sim_device.h"
#include "tools/sim/sim_line.h"

#include <QString>
#include <QStringList>

#include <optional>

// How kt62-sim is to behave: the device, the line, and where its pty shows.
struct SimConfig
{
    DeviceOptions device;
    LineOptions line;
    QString link;                // empty: no link to the pty
    QString save;                // empty: the received image is not kept
    std::optional<quint64> seed; // none: a fresh one each run
};

// The outcome of reading kt62-sim's command line.
struct SimArgs
{
    enum class Action
    {
        Serve,
        Help,
        Version,
    };

    Action action = Action::Serve;
    SimConfig config;
    // Bad usage, naming the option at fault (exit code 2); empty when the
    // arguments are good.
    QString error;

    bool ok() const { return error.isEmpty(); }
};

// Reads kt62-sim's arguments (argv[0] first). Every option's value is
// checked on its own, so one good value never hides another's fault.
SimArgs parse_sim_args(const QStringList &arguments);

// What --help prints; its usage line names the program as the running
// application was started.
QString sim_help_text();
// What --version prints, without the line end.
QString sim_version_text();

#endif
