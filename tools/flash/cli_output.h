#ifndef KT62_CLI_OUTPUT_H
#define KT62_CLI_OUTPUT_H

#include <QString>

#include <cstdio>

// kt62-flash's own lines. Answers (versions, port names, the encrypted
// file's path) go to standard output, where scripts read them; news and
// errors go to standard error.

// A reader of standard output that goes away (`kt62-flash --json ... | head`)
// must not end the run: on Unix a write to its closed pipe would kill the
// process with SIGPIPE mid-upgrade, without result, report or the port's
// lock released. Called once as the program starts, such a write fails
// instead, and the writer carries on without it; so does a write beyond a
// file-size limit.
void survive_closed_output();
// Writes text and a line end to stream at once.
void print_line(FILE *stream, const QString &text);
// Writes "kt62-flash: message" to standard error; returns code, so that a
// command can end with `return fail(...)`.
int fail(int code, const QString &message);
// Text from a device, made safe for a terminal: every control character
// (C0, DEL and C1) is shown as "\xHH", so that an escape sequence in it
// cannot act on the terminal and a line end cannot split a line, and a
// backslash as "\\", so that the text "\x1b" cannot pass for one. JSON
// output keeps its own escaping instead.
QString escape_controls(const QString &text);

#endif
