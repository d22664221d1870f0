#include "resources/resources.h"

#include <QtGlobal>

void kt62_register_resources()
{
    Q_INIT_RESOURCE(kt62);
}
