#ifndef KT62_TEST_PTY_H
#define KT62_TEST_PTY_H

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for serial tests: the code under test opens the
// slave path through QSerialPort, the test plays the far end on the master.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slave_path; }
    void write(const QByteArray &bytes);
    // The bytes that have arrived, without blocking.
    QByteArray readNow();
    // Runs the event loop until at least count bytes arrived or time is up.
    QByteArray readAtLeast(int count, int timeout_ms = 5000);

private:
    int m_master = -1;
    int m_slave_keepalive = -1;
    QString m_slave_path;
};

#endif
