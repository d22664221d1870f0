#include "tools/flash/cli_output.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif

void survive_closed_output()
{
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
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
