#include "toolharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

namespace {
constexpr int START_TIMEOUT_MS = 10000;
constexpr int HEADER_LINES = 2; // the pty's name and the seed
} // namespace

QString toolPath(const QString &relative)
{
    return QDir(qEnvironmentVariable("KT62_BUILD_DIR")).filePath("tools/" + relative);
}

SimProcess::SimProcess(const QStringList &arguments) : m_link(m_dir.filePath("ttyKT62"))
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setWorkingDirectory(m_dir.path());
    m_process.start(toolPath("sim/kt62-sim"), QStringList{"--link", m_link} + arguments);
}

SimProcess::~SimProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(START_TIMEOUT_MS)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
}

bool SimProcess::ready()
{
    return QTest::qWaitFor(
        [this] {
            m_output += m_process.readAllStandardOutput();
            return m_output.contains('\n') && QFile::exists(m_link);
        },
        START_TIMEOUT_MS);
}

QStringList SimProcess::events()
{
    m_output += m_process.readAllStandardOutput();
    QStringList lines = QString::fromLocal8Bit(m_output).split('\n', Qt::SkipEmptyParts);
    return lines.mid(HEADER_LINES);
}

int SimProcess::waitExit(int timeout_ms)
{
    if (!m_process.waitForFinished(timeout_ms)) {
        return -1;
    }
    m_output += m_process.readAllStandardOutput();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

FlashRun runFlash(const QStringList &arguments, int timeout_ms)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(toolPath("flash/kt62-flash"), arguments);
    FlashRun run;
    if (!process.waitForFinished(timeout_ms)) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        run.exit_code = process.exitCode();
    }
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
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        return QByteArray();
    }
    return image;
}

QString encryptWithFlash(const QString &plain_path, const QString &dir)
{
    const FlashRun run = runFlash({"--quiet", "--encrypt", plain_path, "--output-dir", dir});
    return run.exit_code == 0 ? run.out.trimmed() : QString();
}

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QJsonObject();
    }
    return QJsonDocument::fromJson(file.readAll()).object();
}
