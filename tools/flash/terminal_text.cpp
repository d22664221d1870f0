#include "tools/flash/terminal_text.h"

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
