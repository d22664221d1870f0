#ifndef KT62_SIM_SESSION_H
#define KT62_SIM_SESSION_H

#include "tools/sim/sim_device.h"
#include "tools/sim/sim_line.h"

#include <csignal>

// The simulator's main loop: the device on its line, woken by the line,
// the device's timers and the stop signals.

// Has SIGINT, SIGTERM and SIGHUP end the session instead of the process,
// and returns the signal mask to wait under: the signals are blocked
// everywhere else, so one can never slip in between the check of the stop
// flag and the wait.
sigset_t install_stop_signals();

// Runs device on line until a stop signal, or until the device's session
// ends (once: one upgrade or version check served, or the tool gone from
// the line before it was; a pulled cable). Returns the exit code
// (sim_exit.h).
int serve(SimLine &line, SimDevice &device, bool once, const sigset_t &wait_mask);

#endif
