#include "production/stop_signals.h"
#include "station/station_window.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>

namespace {
// Reads the command line before any window exists, so that --help and a
// bad option answer on a terminal without a display (help2man, scripts).
CommandLine read_command_line(int argc, char *argv[])
{
    QCoreApplication reader(argc, argv);
    return parse_command_line(QCoreApplication::arguments(), load_options());
}

// The README's picture (scripts/station-screenshot.sh): with KT62_STATION_GRAB
// naming a PNG file, the window draws itself into it once
// KT62_STATION_GRAB_BOARDS boards have ended, while the others still run.
void grab_when_served(StationWindow &window)
{
    const QString file = qEnvironmentVariable("KT62_STATION_GRAB");
    const int boards = qEnvironmentVariableIntValue("KT62_STATION_GRAB_BOARDS");
    if (file.isEmpty()) {
        return;
    }
    StationController &controller = window.controller();
    QObject::connect(
        &controller, &StationController::boardFinished, &window, [&window, file, boards] {
            if (window.controller().totals().tally.served == boards) {
                // After the tiles have drawn the last verdict.
                QTimer::singleShot(0, &window, [&window, file] { window.grab().save(file); });
            }
        });
}
} // namespace

int main(int argc, char *argv[])
{
    // Names of the settings and of the data folder that holds the history.
    QCoreApplication::setOrganizationName(QStringLiteral("KT62"));
    QCoreApplication::setApplicationName(QStringLiteral("kt62-station"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KT62_VERSION));
    const CommandLine line = read_command_line(argc, argv);
    if (line.quit) {
        std::fputs(line.output.toLocal8Bit().constData(), line.exit_code == 0 ? stdout : stderr);
        return line.exit_code;
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales with the screen; Qt 5 must be told before the
    // application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#endif
    QApplication app(argc, argv);
    // The engine's protocol trace is for kt62-flash --verbose, not for the
    // line's terminal.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    app.setWindowIcon(station_icon());
    StationWindow window(line.options);
    // SIGTERM from a line's shutdown: boards in progress stop now, then quit.
    StopSignals stop_signals;
    QObject::connect(&stop_signals, &StopSignals::stopRequested, &window,
                     &StationWindow::stopAndQuit);
    grab_when_served(window);
    window.show();
    return app.exec();
}
