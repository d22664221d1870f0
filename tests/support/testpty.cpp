#include "tests/support/testpty.h"

#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave_keepalive, name, nullptr, nullptr) != 0) {
        m_master = m_slave_keepalive = -1;
        return;
    }
    // The slave stays open here too, so that the master stays readable
    // across the close and reopen of the port under test.
    termios raw{};
    tcgetattr(m_slave_keepalive, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave_keepalive, TCSANOW, &raw);
    m_slave_path = QString::fromLocal8Bit(name);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty()
{
    for (const int fd : {m_master, m_slave_keepalive}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void Pty::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (errno == EAGAIN || errno == EINTR) {
            QTest::qWait(1); // the far end has not read yet: let it
        } else {
            return;
        }
    }
}

QByteArray Pty::readNow()
{
    QByteArray got;
    char buffer[4096];
    ssize_t n = 0;
    while (m_master >= 0 && (n = ::read(m_master, buffer, sizeof buffer)) > 0) {
        got.append(buffer, int(n));
    }
    return got;
}

QByteArray Pty::readAtLeast(int count, int timeout_ms)
{
    QByteArray got;
    // Short of count, the caller's comparison shows what did come.
    (void)QTest::qWaitFor([&] { return (got += readNow()).size() >= count; }, timeout_ms);
    return got;
}
