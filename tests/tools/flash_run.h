// kt62-flash run from the build tree, for the tool tests and the bad-input sweep.
#ifndef KT62_FLASH_RUN_H
#define KT62_FLASH_RUN_H
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

inline QByteArray read_file(const QString &path) // empty when there is no such file
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QJsonObject report(const QString &path, int port = -1) // whole, or one port's entry
{
    const QJsonObject all = QJsonDocument::fromJson(read_file(path)).object();
    return port < 0 ? all : all.value("ports").toArray().at(port).toObject();
}

struct Run // to its end, in directory (or this one); code -1 when it crashed or hung
{
    explicit Run(const QStringList &arguments, const QString &directory = QString())
    {
        QProcess process;
        process.setWorkingDirectory(directory);
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

// kt62-sim on a link in its own directory, serving one upgrade; killed when the object goes.
struct Sim
{
    explicit Sim(const QStringList &flags)
    {
        process.setWorkingDirectory(dir.path());
        process.start(
            qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/sim/kt62-sim",
            QStringList{"--once", "--link", port(), "--erase-ms", "50", "--save", "saved"} + flags);
    }
    ~Sim() { process.kill(), process.waitForFinished(); }
    QString port() const { return dir.filePath("tty"); }
    QStringList events() // once; the pty's name and the seed left out
    {
        return QString(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).mid(2);
    }
    bool hears(const QString &line) // waits until the log (kept in log) holds line
    {
        return QTest::qWaitFor(
            [&] { return (log += process.readAllStandardOutput()).contains(line); }, 30000);
    }
    QTemporaryDir dir;
    QProcess process;
    QString log;
};
#endif
