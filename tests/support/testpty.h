#ifndef KT62_TEST_PTY_H
#define KT62_TEST_PTY_H

#include "tools/sim/pty_pair.h"

#include <QByteArray>
#include <QString>

// The far end of a serial line for tests: the code under test opens the
// slave path through QSerialPort, the test reads and writes the master.
class TestPty
{
public:
    TestPty() { m_pair.open(); }

    QString slavePath() const { return m_pair.slave_path(); }
    void write(const QByteArray &bytes);
    // The bytes that have arrived, without blocking.
    QByteArray readNow();
    // Runs the event loop until at least count bytes arrived or time is up.
    QByteArray readAtLeast(int count, int timeout_ms = 5000);

private:
    PtyPair m_pair;
};

#endif
