#ifndef KT62_FLASH_CLI_H
#define KT62_FLASH_CLI_H

// The whole of kt62-flash: parses the command line, runs what it asks for
// on a QCoreApplication and returns the exit code (see flash_exit.h).
int run_flash_cli(int argc, char *argv[]);

#endif
