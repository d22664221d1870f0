#ifndef KT62_FLASH_COMMANDS_H
#define KT62_FLASH_COMMANDS_H

#include "tools/flash/flash_args.h"

// kt62-flash's commands. Each does what the request asks, prints its own
// answers and errors, and returns the exit code (production/exit_codes.h).
// Those that talk to devices need the application object for its event loop.

// Upgrades the devices on every port of the request at once, serves a
// station board after board, or asks the one port for its version.
int run_ports(const FlashRequest &request);
// Prints what the request's firmware holds, and whether an upgrade would send it.
int run_inspect(const FlashRequest &request);
// Writes the encrypted firmware file of the request's plain image.
int run_encrypt(const FlashRequest &request);
// Prints the serial ports, one a line with what is known of them, or with
// --json as one JSON array.
int run_list_ports(const FlashRequest &request);
// Prints the history's rows.
int run_export(const FlashRequest &request);

#endif
