#include "tools/sim/pty_pair.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int PTY_NAME_SIZE = 256;
}

PtyPair::~PtyPair()
{
    close();
}

bool PtyPair::open()
{
    close();
    char name[PTY_NAME_SIZE] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        m_master = m_slave = -1;
        return false;
    }
    // Raw from the start, before the tool applies its own line settings, so
    // that nothing written early is echoed or translated.
    termios raw{};
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave, TCSANOW, &raw);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_slave_path = QString::fromLocal8Bit(name);
    return true;
}

void PtyPair::release_slave()
{
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}

void PtyPair::close()
{
    release_slave();
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
}
