#ifndef KT62_FLASH_EXIT_H
#define KT62_FLASH_EXIT_H

// Exit codes of kt62-flash; scripts and the README rely on these numbers.
enum FlashExit
{
    EXIT_UPGRADE_OK = 0,     // the device reported success (or answered a check)
    EXIT_DEVICE_FAILURE = 1, // the device reported failure
    EXIT_BAD_INPUT = 2,      // bad usage or bad firmware: nothing was sent
    EXIT_PORT_ERROR = 3,     // the port could not be opened or was lost
    EXIT_TIMEOUT = 4,        // the device fell silent
    // 128 + N: a station ended by signal N while a board was being upgraded.
    EXIT_SIGNAL_BASE = 128,
};

#endif
