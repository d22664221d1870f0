#include "production/stop_signals.h"

#include "production/exit_codes.h"

#include <QSocketNotifier>

#include <csignal>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QMetaObject>
#include <atomic>
#include <windows.h>
#endif

namespace {
// The numbers shared by Unix and Windows; Windows has no SIGHUP, and a
// closing console is taken as one.
constexpr int SIGNAL_HANG_UP = 1;
constexpr int SIGNAL_INTERRUPT = 2;
constexpr int SIGNAL_TERMINATE = 15;
constexpr int SIGNAL_BREAK = 21; // Windows only: Ctrl+Break
} // namespace

QString StopSignals::name(int signal_number)
{
    switch (signal_number) {
    case SIGNAL_HANG_UP:
        return QStringLiteral("SIGHUP");
    case SIGNAL_INTERRUPT:
        return QStringLiteral("SIGINT");
    case SIGNAL_TERMINATE:
        return QStringLiteral("SIGTERM");
#ifdef Q_OS_WIN
    case SIGNAL_BREAK:
        return QStringLiteral("Ctrl+Break");
#endif
    default:
        break;
    }
    return QStringLiteral("signal %1").arg(signal_number);
}

void StopSignals::deliver(int signal_number)
{
    if (m_delivered) {
        return;
    }
    m_delivered = true;
    emit stopRequested(signal_number);
}

#if defined(Q_OS_UNIX)

// A self-pipe: the handler only writes the signal's number into it, which is
// safe in a handler; the event loop reads it through a socket notifier.
namespace {
const int STOP_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM};
constexpr int STOP_SIGNAL_COUNT = int(sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0]);
constexpr int PIPE_READ_CHUNK = 16;

int g_write_end = -1;
struct sigaction g_saved[STOP_SIGNAL_COUNT];

extern "C" void on_stop_signal(int signal_number)
{
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal_number);
    // Nothing to do about a full pipe: one byte in it already stops the run.
    const ssize_t written = ::write(g_write_end, &byte, 1);
    static_cast<void>(written);
    errno = saved_errno;
}

bool make_pipe(int ends[2])
{
    if (::pipe(ends) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
        ::fcntl(ends[i], F_SETFL, ::fcntl(ends[i], F_GETFL) | O_NONBLOCK);
    }
    return true;
}

// From now on a stop signal ends the process as the system ends it.
void restore_default_actions()
{
    for (int sig : STOP_SIGNALS) {
        ::signal(sig, SIG_DFL);
    }
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    int ends[2];
    if (g_write_end >= 0 || !make_pipe(ends)) {
        return;
    }
    m_read_end = ends[0];
    g_write_end = ends[1];
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
        sigaction(STOP_SIGNALS[i], &action, &g_saved[i]);
    }
    m_notifier = new QSocketNotifier(m_read_end, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::onReadable);
    m_active = true;
}

StopSignals::~StopSignals()
{
    if (!m_active) {
        return;
    }
    // The handlers go before the pipe they write to.
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i) {
        sigaction(STOP_SIGNALS[i], &g_saved[i], nullptr);
    }
    delete m_notifier;
    ::close(m_read_end);
    ::close(g_write_end);
    g_write_end = -1;
}

void StopSignals::onReadable()
{
    unsigned char numbers[PIPE_READ_CHUNK];
    const ssize_t got = ::read(m_read_end, numbers, sizeof numbers);
    if (got <= 0) {
        return;
    }
    // A second signal that came before the first was read: at once.
    if (m_delivered || got > 1) {
        ::_exit(EXIT_SIGNAL_BASE + numbers[got - 1]);
    }
    restore_default_actions();
    deliver(numbers[0]);
}

#elif defined(Q_OS_WIN)

// The console calls its control handler on a thread of its own: the
// handler only posts the request to the object's thread. A closing console
// ends the process as soon as the handler returns, so for that one the
// handler waits (within the few seconds Windows grants) for the object to
// go, which it does once the run has stopped and its report is written.
namespace {
constexpr DWORD CLOSE_GRACE_MS = 4000; // Windows allows 5 s after a close event
std::atomic<StopSignals *> g_owner{nullptr};
std::atomic<int> g_caught{0};
HANDLE g_stopped = nullptr; // set when the owner is gone

int signal_of(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGNAL_INTERRUPT;
    case CTRL_BREAK_EVENT:
        return SIGNAL_BREAK;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return SIGNAL_HANG_UP;
    default:
        return 0;
    }
}

BOOL WINAPI on_console_event(DWORD event)
{
    const int signal_number = signal_of(event);
    StopSignals *owner = g_owner.load();
    if (signal_number == 0 || owner == nullptr) {
        return FALSE; // the next handler, in the end the system's, deals with it
    }
    int none = 0;
    if (!g_caught.compare_exchange_strong(none, signal_number)) {
        ::ExitProcess(UINT(EXIT_SIGNAL_BASE + signal_number));
    }
    QMetaObject::invokeMethod(owner, "deliver", Qt::QueuedConnection, Q_ARG(int, signal_number));
    if (signal_number == SIGNAL_HANG_UP && g_stopped != nullptr) {
        ::WaitForSingleObject(g_stopped, CLOSE_GRACE_MS);
    }
    return TRUE;
}
} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    StopSignals *none = nullptr;
    if (!g_owner.compare_exchange_strong(none, this)) {
        return;
    }
    g_caught = 0;
    if (g_stopped == nullptr) {
        g_stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ::ResetEvent(g_stopped);
    if (!::SetConsoleCtrlHandler(on_console_event, TRUE)) {
        g_owner = nullptr;
        return;
    }
    m_active = true;
}

StopSignals::~StopSignals()
{
    if (!m_active) {
        return;
    }
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    g_owner = nullptr;
    ::SetEvent(g_stopped);
}

void StopSignals::onReadable() {}

#else

// Not on this system: the process ends as the system ends it.
StopSignals::StopSignals(QObject *parent) : QObject(parent) {}
StopSignals::~StopSignals() = default;
void StopSignals::onReadable() {}

#endif
