#ifndef KT62_TEST_PROMPTRECORDER_H
#define KT62_TEST_PROMPTRECORDER_H

#include "widgets/prompts.h"
#include <QTest>

// Answers the dialogs' questions while it lives: choosers take the queued
// answers (none left: cancelled). Boxes and choosers are kept as text; the
// dialogs' usual box (no parent, no title, information with Ok) as its text.
struct PromptRecorder
{
    PromptRecorder()
    {
        set_message_responder([this](const MessagePrompt &p) {
            const bool info = p.kind == p.Information && p.buttons == QMessageBox::Ok &&
                              p.default_button == QMessageBox::NoButton;
            const bool critical = p.kind == p.Critical && p.buttons == QMessageBox::Yes &&
                                  p.default_button == QMessageBox::Yes;
            const bool usual = !p.parent && p.title.isEmpty() && (info || critical);
            boxes << (!usual ? "unexpected box: " : critical ? "critical, Yes: " : "") + p.text;
            return p.default_button;
        });
        set_file_responder([this](const FilePrompt &p) {
            choosers << QString(p.kind == p.OpenFile ? "file|" : "directory|") +
                            (p.parent ? "parented|" : "unparented|") + p.caption + '|' + p.dir +
                            '|' + p.filter + '|' + QString::number(int(p.options));
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
    }
    ~PromptRecorder()
    {
        set_message_responder(nullptr);
        set_file_responder(nullptr);
    }
    QStringList answers, boxes, choosers;
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
