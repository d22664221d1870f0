#include "tools/flash/cli_output.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {
constexpr int HEX_DIGITS = 2;
constexpr int HEX = 16;
const QChar ESCAPE_MARK = QLatin1Char('\\');
} // namespace

QString escape_controls(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c == ESCAPE_MARK) {
            // Doubled, so that a "\x1b" the device sent as text never reads
            // like a control character it sent.
            shown += QStringLiteral("\\\\");
        } else if (c.category() == QChar::Other_Control) {
            shown +=
                QStringLiteral("\\x%1").arg(int(c.unicode()), HEX_DIGITS, HEX, QLatin1Char('0'));
        } else {
            shown += c;
        }
    }
    return shown;
}

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
