#ifndef KT62_TEST_TOOLHARNESS_H
#define KT62_TEST_TOOLHARNESS_H

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// kt62-sim on a link in its own temporary directory (also its working
// directory); killed when the object goes, whatever the test's outcome.
class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments);
    ~SimProcess();

    bool ready(); // the pty's name came and the link is there
    QString port() const { return m_link; }
    QString dir() const { return m_dir.path(); }
    QStringList events();     // event lines so far, the pty's name and seed left out
    int waitExit();           // its exit code, -1 on a time-out
    QByteArray saved() const; // what --save received.bin wrote

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

FlashRun runFlash(const QStringList &arguments);
// Writes a seeded plain image of size bytes as path; its bytes.
QByteArray writePlainImage(const QString &path, int size, quint32 seed);
// Encrypts plain_path into dir with kt62-flash; the encrypted path.
QString encryptWithFlash(const QString &plain_path, const QString &dir);
QByteArray readFile(const QString &path);
// The report's overall exit code, and its entry for port number index.
int reportCode(const QString &path);
QJsonObject reportPort(const QString &path, int index = 0);

#endif
