#include "widgets/prompts.h"

namespace {
MessageResponder g_message_responder;
FileResponder g_file_responder;

QMessageBox::StandardButton standard_message(const MessagePrompt &p)
{
    if (p.kind == MessagePrompt::Critical) {
        return QMessageBox::critical(p.parent, p.title, p.text, p.buttons, p.default_button);
    }
    return QMessageBox::information(p.parent, p.title, p.text, p.buttons, p.default_button);
}

QString standard_path(const FilePrompt &p)
{
    if (p.kind == FilePrompt::ExistingDirectory) {
        return QFileDialog::getExistingDirectory(p.parent, p.caption, p.dir, p.options);
    }
    return QFileDialog::getOpenFileName(p.parent, p.caption, p.dir, p.filter, nullptr, p.options);
}
} // namespace

void set_message_responder(MessageResponder responder)
{
    g_message_responder = std::move(responder);
}

void set_file_responder(FileResponder responder)
{
    g_file_responder = std::move(responder);
}

QMessageBox::StandardButton show_message(const MessagePrompt &prompt)
{
    return g_message_responder ? g_message_responder(prompt) : standard_message(prompt);
}

QString ask_for_path(const FilePrompt &prompt)
{
    return g_file_responder ? g_file_responder(prompt) : standard_path(prompt);
}

QMessageBox::StandardButton inform(const QString &text)
{
    MessagePrompt prompt;
    prompt.text = text;
    return show_message(prompt);
}

QMessageBox::StandardButton warn_critical(const QString &text, QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton default_button)
{
    MessagePrompt prompt;
    prompt.kind = MessagePrompt::Critical;
    prompt.text = text;
    prompt.buttons = buttons;
    prompt.default_button = default_button;
    return show_message(prompt);
}
