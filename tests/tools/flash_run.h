// kt62-flash run from the build tree, for the tool tests and the bad-input sweep.
#ifndef KT62_FLASH_RUN_H
#define KT62_FLASH_RUN_H
#include <QFile>
#include <QProcess>

inline QByteArray read_file(const QString &path) // empty when there is no such file
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct Run // to its end; code -1 when it crashed or hung
{
    explicit Run(const QStringList &arguments)
    {
        QProcess process;
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash",
                      arguments);
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit) {
            code = process.exitCode();
        }
        out = QString::fromUtf8(process.readAllStandardOutput());
        err = QString::fromUtf8(process.readAllStandardError());
    }
    int code = -1;
    QString out, err;
};
#endif
