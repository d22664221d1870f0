#include "toolharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

namespace {
constexpr int PROCESS_LIMIT_MS = 30000;
constexpr int HEADER_LINES = 2; // the pty's name and the seed

QString toolPath(const QString &relative)
{
    return QDir(qEnvironmentVariable("KT62_BUILD_DIR")).filePath("tools/" + relative);
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}
} // namespace

SimProcess::SimProcess(const QStringList &arguments) : m_link(m_dir.filePath("ttyKT62"))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setWorkingDirectory(m_dir.path());
    m_process.start(toolPath("sim/kt62-sim"), QStringList{"--link", m_link} + arguments);
}

SimProcess::~SimProcess()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool SimProcess::ready()
{
    return QTest::qWaitFor(
        [this] {
            m_output += m_process.readAllStandardOutput();
            return m_output.contains('\n') && QFile::exists(m_link);
        },
        PROCESS_LIMIT_MS);
}

QStringList SimProcess::events()
{
    m_output += m_process.readAllStandardOutput();
    return QString::fromLocal8Bit(m_output).split('\n', Qt::SkipEmptyParts).mid(HEADER_LINES);
}

int SimProcess::waitExit()
{
    if (!m_process.waitForFinished(PROCESS_LIMIT_MS)) {
        return -1;
    }
    m_output += m_process.readAllStandardOutput();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QByteArray SimProcess::saved() const
{
    return readFile(m_dir.filePath("received.bin"));
}

FlashRun runFlash(const QStringList &arguments)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(toolPath("flash/kt62-flash"), arguments);
    FlashRun run;
    if (process.waitForFinished(PROCESS_LIMIT_MS) && process.exitStatus() == QProcess::NormalExit) {
        run.exit_code = process.exitCode();
    }
    process.kill();
    process.waitForFinished();
    run.elapsed_ms = clock.elapsed();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

QByteArray writePlainImage(const QString &path, int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray image(size, Qt::Uninitialized);
    for (char &c : image) {
        c = char(random.bounded(256));
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(image) == size ? image : QByteArray();
}

QString encryptWithFlash(const QString &plain_path, const QString &dir)
{
    const FlashRun run = runFlash({"--quiet", "--encrypt", plain_path, "--output-dir", dir});
    return run.exit_code == 0 ? run.out.trimmed() : QString();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int reportCode(const QString &path)
{
    return readJson(path).value("exit_code").toInt(-1);
}

QJsonObject reportPort(const QString &path, int index)
{
    return readJson(path).value("ports").toArray().at(index).toObject();
}
