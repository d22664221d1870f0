#include "tools/flash/stop_signals.h"

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
const int STOP_SIGNALS[] = {SIGINT, SIGTERM};
// Written by the handler, read on the event loop: a handler may do next to
// nothing, and writing a byte to a pipe is one of the few things it may do.
int g_signal_pipe[2] = {-1, -1};

void on_stop_signal(int signal_number)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] const ssize_t written = ::write(g_signal_pipe[1], &number, 1);
    errno = saved;
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    if (::pipe(g_signal_pipe) != 0) {
        return;
    }
    for (int fd : g_signal_pipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    // A handler must never block, even with a full pipe.
    ::fcntl(g_signal_pipe[1], F_SETFL, O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        if (::read(g_signal_pipe[0], &number, 1) == 1) {
            emit received(number);
        }
    });
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int signal_number : STOP_SIGNALS) {
        ::sigaction(signal_number, &action, nullptr);
    }
}

StopSignals::~StopSignals()
{
    if (!m_notifier) {
        return;
    }
    for (int signal_number : STOP_SIGNALS) {
        ::signal(signal_number, SIG_DFL);
    }
    delete m_notifier;
    for (int &fd : g_signal_pipe) {
        ::close(fd);
        fd = -1;
    }
}
#else
// Not on this system: without a console control handler Ctrl+C ends
// kt62-flash at once, and a station ends without its summary and report.
StopSignals::StopSignals(QObject *parent) : QObject(parent) {}

StopSignals::~StopSignals() = default;
#endif
