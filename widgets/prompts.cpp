#include "widgets/prompts.h"

#include <QPushButton>

namespace {
MessageResponder g_message_responder;
FileResponder g_file_responder;
ChoiceResponder g_choice_responder;

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
    if (p.kind == FilePrompt::SaveFile) {
        return QFileDialog::getSaveFileName(p.parent, p.caption, p.dir, p.filter, nullptr,
                                            p.options);
    }
    return QFileDialog::getOpenFileName(p.parent, p.caption, p.dir, p.filter, nullptr, p.options);
}
int standard_choice(const ChoicePrompt &p)
{
    QMessageBox box(QMessageBox::Question, p.title, p.text, QMessageBox::NoButton, p.parent);
    QList<QAbstractButton *> buttons;
    for (int i = 0; i < p.choices.size(); ++i) {
        // One role for every answer but the cancel keeps them in the order given.
        const auto role = i == p.cancel_choice ? QMessageBox::RejectRole : QMessageBox::ActionRole;
        QPushButton *button = box.addButton(p.choices.at(i), role);
        buttons << button;
        if (i == p.default_choice) {
            box.setDefaultButton(button);
        }
        if (i == p.cancel_choice) {
            box.setEscapeButton(button);
        }
    }
    box.exec();
    const int taken = int(buttons.indexOf(box.clickedButton()));
    return taken < 0 ? p.cancel_choice : taken;
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

void set_choice_responder(ChoiceResponder responder)
{
    g_choice_responder = std::move(responder);
}

QMessageBox::StandardButton show_message(const MessagePrompt &prompt)
{
    return g_message_responder ? g_message_responder(prompt) : standard_message(prompt);
}

QString ask_for_path(const FilePrompt &prompt)
{
    return g_file_responder ? g_file_responder(prompt) : standard_path(prompt);
}

int ask_choice(const ChoicePrompt &prompt)
{
    return g_choice_responder ? g_choice_responder(prompt) : standard_choice(prompt);
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
