#include "tests/support/testpty.h"

#include <QTest>

#include <cerrno>
#include <unistd.h>

namespace {
constexpr int READ_CHUNK = 4096;
}

void TestPty::write(const QByteArray &bytes)
{
    const int fd = m_pair.master_fd();
    qint64 done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (errno == EAGAIN || errno == EINTR) {
            QTest::qWait(1); // the far end has not read yet: let it
        } else {
            return;
        }
    }
}

QByteArray TestPty::readNow()
{
    QByteArray got;
    char buffer[READ_CHUNK];
    ssize_t n = 0;
    while (m_pair.master_fd() >= 0 && (n = ::read(m_pair.master_fd(), buffer, sizeof buffer)) > 0) {
        got.append(buffer, int(n));
    }
    return got;
}

QByteArray TestPty::readAtLeast(int count, int timeout_ms)
{
    QByteArray got;
    // Short of count, the caller's comparison shows what did come.
    (void)QTest::qWaitFor([&] { return (got += readNow()).size() >= count; }, timeout_ms);
    return got;
}
