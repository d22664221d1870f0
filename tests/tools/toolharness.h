#ifndef KT62_TEST_TOOLHARNESS_H
#define KT62_TEST_TOOLHARNESS_H

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Path of a built tool, e.g. "sim/kt62-sim".
QString toolPath(const QString &relative);

// kt62-sim running on a link in its own temporary directory, which is also
// its working directory. Killed when the object goes, whatever the test's
// outcome.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments);
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Waits for the pty's name on the first line; false if it never came.
    bool ready();
    QString port() const { return m_link; }
    QString dir() const { return m_dir.path(); }
    // Event lines printed so far (the pty name and the seed left out).
    QStringList events();
    // Waits for the simulator to exit; its exit code, or -1 on a time-out.
    int waitExit(int timeout_ms = 10000);

private:
    QTemporaryDir m_dir;
    QString m_link;
    QProcess m_process;
    QByteArray m_output;
};

struct FlashRun
{
    int exit_code = -1;
    QString out;
    QString err;
    qint64 elapsed_ms = 0;
};

FlashRun runFlash(const QStringList &arguments, int timeout_ms = 30000);

// A plain image of size bytes from a fixed seed, written as path.
QByteArray writePlainImage(const QString &path, int size, quint32 seed);
// Encrypts plain_path into dir with kt62-flash; the encrypted path, or
// empty on failure.
QString encryptWithFlash(const QString &plain_path, const QString &dir);

QJsonObject readJson(const QString &path);

#endif
