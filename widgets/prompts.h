#ifndef KT62_PROMPTS_H
#define KT62_PROMPTS_H

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

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
        ExistingDirectory
    };
    Kind kind = OpenFile;
    QWidget *parent = nullptr;
    QString caption;
    QString dir;
    QString filter; // open-file choosers only
    QFileDialog::Options options;
};

using MessageResponder = std::function<QMessageBox::StandardButton(const MessagePrompt &)>;
using FileResponder = std::function<QString(const FilePrompt &)>;

// An empty function restores the standard boxes and choosers.
void set_message_responder(MessageResponder responder);
void set_file_responder(FileResponder responder);

QMessageBox::StandardButton show_message(const MessagePrompt &prompt);
QString ask_for_path(const FilePrompt &prompt);

// The dialogs' boxes: no parent and an empty title.
QMessageBox::StandardButton inform(const QString &text);
QMessageBox::StandardButton warn_critical(const QString &text, QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton default_button);

#endif
