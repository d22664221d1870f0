#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

void fuzz_init_application()
{
    static int argc = 1;
    static char name[] = "kt62-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
}

QString fuzz_scratch_dir()
{
    static QTemporaryDir dir;
    return dir.path();
}
