#include "resources/resources.h"

#include <QIcon>
#include <QtGlobal>

namespace {
constexpr int ICON_SIZES[] = {16, 32, 48, 64, 128, 256};
}

void kt62_register_resources()
{
    Q_INIT_RESOURCE(kt62);
}

QIcon kt62_window_icon()
{
    kt62_register_resources();
    QIcon icon;
    for (const int size : ICON_SIZES) {
        icon.addFile(QStringLiteral(":/icons/kt62-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
