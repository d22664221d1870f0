#ifndef KT62_TEST_PROMPTRECORDER_H
#define KT62_TEST_PROMPTRECORDER_H

#include "widgets/prompts.h"
#include <QTest>

// Answers the dialogs' questions while it lives: a box is kept and gets its default button, a
// chooser takes the next queued answer (none left: cancelled).
struct PromptRecorder
{
    PromptRecorder()
    {
        set_message_responder([this](const MessagePrompt &p) {
            boxes << p.text;
            kinds << p.kind;
            return p.default_button;
        });
        set_file_responder([this](const FilePrompt &) {
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
    }
    ~PromptRecorder()
    {
        set_message_responder(nullptr);
        set_file_responder(nullptr);
    }
    QStringList answers, boxes;
    QList<MessagePrompt::Kind> kinds; // of each box
};

inline bool write_file(const QString &path, const QByteArray &bytes) // directories made as needed
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
inline QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#endif
