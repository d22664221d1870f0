#include "production/exit_codes.h"
#include "serial/port_list.h"
#include "tools/flash/cli_output.h"
#include "tools/flash/flash_commands.h"

#include <QJsonDocument>

int run_list_ports(const FlashRequest &request)
{
    const QList<PortDetails> ports = available_ports();
    if (request.json) {
        const QByteArray listing =
            QJsonDocument(port_listing_json(ports)).toJson(QJsonDocument::Indented);
        std::fputs(listing.constData(), stdout);
        return EXIT_UPGRADE_OK;
    }
    for (const PortDetails &port : ports) {
        print_line(stdout, port_listing_line(port));
    }
    return EXIT_UPGRADE_OK;
}
