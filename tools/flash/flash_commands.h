#ifndef KT62_FLASH_COMMANDS_H
#define KT62_FLASH_COMMANDS_H

#include "tools/flash/flash_args.h"

// kt62-flash's commands, one file each (cmd_*.cpp). Each does what the
// request asks, prints its own answers and errors, and returns the exit
// code (flash_exit.h). Those that talk to devices need the application
// object for their event loop.

// Upgrades the devices on every port of the request at once; with
// --station board after board (see station.h).
int run_upgrade(const FlashRequest &request);
// Asks the request's one port for the device's version.
int run_check_version(const FlashRequest &request);
// Prints what the request's firmware holds, and whether an upgrade would send it.
int run_inspect(const FlashRequest &request);
// Writes the encrypted firmware file of the request's plain image.
int run_encrypt(const FlashRequest &request);
// Prints the serial ports, one a line with what is known of them, or with
// --json as one JSON array.
int run_list_ports(const FlashRequest &request);

#endif
