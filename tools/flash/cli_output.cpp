#include "tools/flash/cli_output.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif

void survive_closed_output()
{
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit on the report or the history fails that write
    // instead of killing the run with the port left as it was.
    std::signal(SIGXFSZ, SIG_IGN);
#else
    // Not on this system: a write to a closed pipe fails without a signal.
#endif
}

void print_line(FILE *stream, const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int fail(int code, const QString &message)
{
    print_line(stderr, QStringLiteral("kt62-flash: ") + message);
    return code;
}
