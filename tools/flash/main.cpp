#include "tools/flash/flash_cli.h"

int main(int argc, char *argv[])
{
    return run_flash_cli(argc, argv);
}
