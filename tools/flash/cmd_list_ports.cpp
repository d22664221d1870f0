#include "serial/port_list.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"
#include "tools/flash/flash_exit.h"

int run_list_ports(const FlashRequest &)
{
    const QStringList names = available_port_names();
    for (const QString &name : names) {
        print_line(stdout, name);
    }
    return EXIT_UPGRADE_OK;
}
