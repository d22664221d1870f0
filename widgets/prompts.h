#ifndef KT62_PROMPTS_H
#define KT62_PROMPTS_H

#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

// Every question the dialogs put to the user goes through here: message
// boxes and file choosers. By default they are the toolkit's standard modal
// ones; a responder can be installed instead, which is how the dialogs run
// unattended (nothing then blocks on a modal box).

struct MessagePrompt
{
    enum Kind
    {
        Information,
        Critical
    };
    Kind kind = Information;
    QWidget *parent = nullptr;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
};

struct FilePrompt
{
    enum Kind
    {
        OpenFile,
        ExistingDirectory,
        SaveFile
    };
    Kind kind = OpenFile;
    QWidget *parent = nullptr;
    QString caption;
    QString dir;
    QString filter; // file choosers only
    QFileDialog::Options options;
};

// A question whose answers are not the standard buttons: each choice is a
// button with its own words, in the order given.
struct ChoicePrompt
{
    QWidget *parent = nullptr;
    QString title;
    QString text;
    QStringList choices;
    int default_choice = 0; // taken by Enter
    int cancel_choice = -1; // taken by Escape and the window's close button; -1: none
};

using MessageResponder = std::function<QMessageBox::StandardButton(const MessagePrompt &)>;
using FileResponder = std::function<QString(const FilePrompt &)>;
using ChoiceResponder = std::function<int(const ChoicePrompt &)>;

// An empty function restores the standard boxes and choosers.
void set_message_responder(MessageResponder responder);
void set_file_responder(FileResponder responder);
void set_choice_responder(ChoiceResponder responder);

QMessageBox::StandardButton show_message(const MessagePrompt &prompt);
QString ask_for_path(const FilePrompt &prompt);
// The index of the choice taken.
int ask_choice(const ChoicePrompt &prompt);

// The dialogs' boxes: no parent and an empty title.
QMessageBox::StandardButton inform(const QString &text);
QMessageBox::StandardButton warn_critical(const QString &text, QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton default_button);

#endif
