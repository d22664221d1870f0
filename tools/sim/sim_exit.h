#ifndef KT62_SIM_EXIT_H
#define KT62_SIM_EXIT_H

// Exit codes of kt62-sim; the tests, the demo and the soak rely on them.
enum SimExit
{
    SIM_OK = 0,         // served whole (with --once), or stopped by a signal
    SIM_INCOMPLETE = 1, // the session ended without a whole image
    SIM_USAGE = 2,      // bad usage: nothing was served
};

#endif
