#ifndef KT62_EXIT_CODES_H
#define KT62_EXIT_CODES_H

// How a board, a port's run or a whole run ended, as a number: kt62-flash
// exits with it and the history records it; scripts and the README rely on
// these numbers.
enum FlashExit
{
    EXIT_UPGRADE_OK = 0,     // the image was acknowledged and reported good (or a check answered)
    EXIT_DEVICE_FAILURE = 1, // the device reported failure, or success before the image
    EXIT_BAD_INPUT = 2,      // bad usage, bad firmware or an operator slip: nothing was sent
    EXIT_PORT_ERROR = 3,     // the port could not be opened or was lost
    EXIT_TIMEOUT = 4,        // the device made no progress within its phase's limit
    // The run succeeded but its --report could not be written: a script
    // that reads the report must not take the run's success for it.
    EXIT_REPORT_FAILED = 5,
    // The board history failed during the run: no new board was taken, and
    // the rows it could not take are kept in its fallback file.
    EXIT_HISTORY_FAILED = 6,
    EXIT_SIGNAL_BASE = 128, // plus the number of the signal that stopped the run
};

#endif
