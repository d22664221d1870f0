#include "tools/flash/cli_output.h"

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
