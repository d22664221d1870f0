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

// A tool (kt62-flash unless named; a program by its absolute path) started in directory (or this
// one), its streams gathered as they come; killed when the object goes.
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
        process.start(tool.startsWith('/') ? tool : built(tool), arguments);
    }
    ~Tool() { process.kill(), process.waitForFinished(); }
    static QString built(const QString &tool) // "flash/kt62-flash" in the build tree
    {
        return qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/" + tool;
    }
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

struct Folder // made before the tool that works in it, gone after it
{
    QTemporaryDir dir;
};

// kt62-sim on a link (in its own folder unless given), its output its log; it keeps the image it
// took in saved(). It serves run after run, or one with --once among its flags.
struct Sim : Folder, Tool
{
    explicit Sim(const QStringList &flags, const QString &on = QString())
        : Tool(QStringList{"--link", on.isEmpty() ? "tty" : on, "--erase-ms", "50", "--save",
                           "saved"} +
                   flags,
               dir.path(), "sim/kt62-sim"),
          link(on.isEmpty() ? dir.filePath("tty") : on)
    {}
    bool ready() const // its link is there
    {
        return QTest::qWaitFor([this] { return QFile::exists(link); }, LIMIT_MS);
    }
    bool hears(const QString &text) // waits until its log holds text
    {
        return QTest::qWaitFor([&] { return out.contains(text); }, LIMIT_MS);
    }
    QStringList events() const { return out.split('\n', Qt::SkipEmptyParts).mid(2); } // no header
    QString saved() const { return dir.filePath("saved"); }
    const QString link;
};
#endif
