#ifndef KT62_TEST_PROMPTRECORDER_H
#define KT62_TEST_PROMPTRECORDER_H

#include "prompts.h"

#include <QList>
#include <QStringList>

// Answers the dialogs' questions while it lives: file choosers take the
// queued answers in order (an empty answer once the queue is empty, like a
// cancelled chooser), message boxes are recorded and answered with their
// default button or Ok.
class PromptRecorder
{
public:
    PromptRecorder()
    {
        set_message_responder([this](const MessagePrompt &prompt) {
            messages << prompt;
            return prompt.default_button != QMessageBox::NoButton ? prompt.default_button
                                                                  : QMessageBox::Ok;
        });
        set_file_responder([this](const FilePrompt &prompt) {
            files << prompt;
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
    }
    ~PromptRecorder()
    {
        set_message_responder(nullptr);
        set_file_responder(nullptr);
    }
    PromptRecorder(const PromptRecorder &) = delete;
    PromptRecorder &operator=(const PromptRecorder &) = delete;

    QStringList texts() const
    {
        QStringList out;
        for (const MessagePrompt &m : messages) {
            out << m.text;
        }
        return out;
    }

    QStringList answers;
    QList<MessagePrompt> messages;
    QList<FilePrompt> files;
};

#endif
