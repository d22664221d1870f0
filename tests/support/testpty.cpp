#include "testpty.h"

#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    int slave = -1;
    char name[256] = {};
    if (openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
        m_master = -1;
        return;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    // Holding the slave open keeps the master readable across the close and
    // reopen of the port under test.
    m_slave_keepalive = slave;
    m_slave_path = QString::fromLocal8Bit(name);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    closeMaster();
    if (m_slave_keepalive >= 0) {
        ::close(m_slave_keepalive);
    }
}

void Pty::closeMaster()
{
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}

void Pty::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            QTest::qWait(1);
        }
    }
}

QByteArray Pty::readNow()
{
    char buffer[4096];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        m_pending.append(buffer, int(n));
    }
    QByteArray out = m_pending;
    m_pending.clear();
    return out;
}

QByteArray Pty::readAtLeast(int count, int timeout_ms)
{
    QByteArray got;
    QTest::qWaitFor(
        [&] {
            got += readNow();
            return got.size() >= count;
        },
        timeout_ms);
    return got;
}
