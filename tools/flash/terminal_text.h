#ifndef KT62_TERMINAL_TEXT_H
#define KT62_TERMINAL_TEXT_H

#include <QString>

// Text from a device, made safe for a terminal: every control character
// (C0, DEL and C1) is shown as "\xHH", so that an escape sequence in it
// cannot act on the terminal and a line end cannot split a line, and a
// backslash as "\\", so that the text "\x1b" cannot pass for one. JSON
// output keeps its own escaping instead.
QString escape_controls(const QString &text);

#endif
