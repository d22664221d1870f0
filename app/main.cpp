#include "app/mainwindow.h"
#include "resources/resources.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The fixed-size windows scale with the screen; Qt 6 always does, Qt 5
    // must be told before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication app(argc, argv);
    app.setWindowIcon(kt62_window_icon());
    MainWindow window;
    window.show();
    return app.exec();
}
