// kt62-flash and kt62-sim run from the build tree, for the tool tests and the bad-input sweep.
#ifndef KT62_FLASH_RUN_H
#define KT62_FLASH_RUN_H
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

constexpr int LIMIT_MS = 60000; // a loaded machine is slow, never this slow
const QString AGAIN = "again";  // among a simulator's flags: it serves run after run, not once

inline QByteArray plain_image() // 21 packets once encrypted; every byte value, in no simple order
{
    QByteArray plain;
    while (plain.size() < 20 * 1024 + 100) {
        plain.append(char(plain.size() * 7919 % 257));
    }
    return plain;
}

inline QByteArray read_file(const QString &path) // empty when there is no such file
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QJsonObject report(const QString &path, int port = -1) // whole, or one port's entry
{
    const QJsonObject all = QJsonDocument::fromJson(read_file(path)).object();
    return port < 0 ? all : all.value("ports").toArray().at(port).toObject();
}

// A tool (kt62-flash unless named) started in directory (or this one), its streams gathered as
// they come; killed when the object goes.
struct Tool
{
    explicit Tool(const QStringList &arguments, const QString &directory = QString(),
                  const QString &tool = "flash/kt62-flash")
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        process.setWorkingDirectory(directory);
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/" + tool, arguments);
    }
    ~Tool() { process.kill(), process.waitForFinished(); }
    int code() // waits for the end; -1 when it crashed or hung
    {
        const bool ended =
            QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, LIMIT_MS);
        out += process.readAllStandardOutput(), err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QProcess process;
    QString out, err;
};

struct Run : Tool // run to its end
{
    using Tool::Tool;
    const int code = Tool::code();
};

// kt62-sim on a link (in its own directory unless given), serving one upgrade or, with AGAIN among
// its flags, run after run; it keeps the image it took in saved(). Killed when the object goes.
struct Sim
{
    explicit Sim(QStringList flags, const QString &on = QString())
        : link(on.isEmpty() ? dir.filePath("tty") : on)
    {
        if (!flags.removeOne(AGAIN)) {
            flags << "--once";
        }
        process.setWorkingDirectory(dir.path());
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/sim/kt62-sim",
                      QStringList{"--link", link, "--erase-ms", "50", "--save", "saved"} + flags);
    }
    ~Sim() { process.kill(), process.waitForFinished(); }
    bool ready() const // its link is there
    {
        return QTest::qWaitFor([this] { return QFile::exists(link); }, LIMIT_MS);
    }
    int ended() // waits for its end: its exit code, -1 when it crashed or hung
    {
        const bool ended =
            process.state() == QProcess::NotRunning || process.waitForFinished(LIMIT_MS);
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString saved() const { return dir.filePath("saved"); }
    bool hears(const QString &text) // waits until its log holds text
    {
        return QTest::qWaitFor(
            [&] { return (log += process.readAllStandardOutput()).contains(text); }, LIMIT_MS);
    }
    QStringList events() // its log so far, the pty's name and the seed left out
    {
        log += process.readAllStandardOutput();
        return log.split('\n', Qt::SkipEmptyParts).mid(2);
    }
    QTemporaryDir dir;
    const QString link;
    QProcess process;
    QString log;
};
#endif
