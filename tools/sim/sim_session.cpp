#include "tools/sim/sim_session.h"

#include "tools/sim/sim_exit.h"

#include <algorithm>
#include <atomic>
#include <poll.h>

namespace {
// How long an ending session waits for the tool to close its port. Closing
// the pty earlier would throw away a last reply the tool has not read yet:
// a hang-up flushes what is still in the line.
constexpr std::chrono::milliseconds DRAIN_LIMIT{5000};
constexpr std::chrono::milliseconds IDLE_POLL{1000};
constexpr long long NS_PER_SECOND = 1000000000LL;
const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<bool> g_stop{false};

void on_signal(int)
{
    g_stop = true;
}

timespec until_due(std::optional<SimTime> due, SimTime now)
{
    const auto wait = due ? std::max(SimClock::duration::zero(), *due - now)
                          : std::chrono::duration_cast<SimClock::duration>(IDLE_POLL);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    return timespec{time_t(ns / NS_PER_SECOND), long(ns % NS_PER_SECOND)};
}

std::optional<SimTime> earliest(std::optional<SimTime> a, std::optional<SimTime> b)
{
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    return std::min(*a, *b);
}
} // namespace

sigset_t install_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : STOP_SIGNALS) {
        sigaction(sig, &action, nullptr);
        sigaddset(&blocked, sig);
    }
    // Delivered only inside ppoll, so a signal can never slip in between
    // the check of the flag and the wait.
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    for (int sig : STOP_SIGNALS) {
        sigdelset(&wait_mask, sig);
    }
    return wait_mask;
}

int serve(SimLine &line, SimDevice &device, bool once, const sigset_t &wait_mask)
{
    bool writable = true;
    bool was_listening = true;
    std::optional<SimTime> drain_since;
    while (!g_stop) {
        SimTime now = SimClock::now();
        writable = line.flushDue(now);
        const QByteArray input = line.takeDueInput(now);
        if (!input.isEmpty()) {
            device.receive(input, now);
        }
        device.tick(now);
        if (!line.outputPending()) {
            device.lineIdle();
        }
        writable = line.flushDue(now) && writable;

        if (device.ending() == SimDevice::Ending::Unplugged && !line.outputPending()) {
            line.close();
            return SIM_INCOMPLETE;
        }
        if (once && device.sawStartSequence()) {
            // From the first start sequence on, the tool's close of its port
            // shows as a hang-up: a tool that dies or gives up in the middle
            // of the one session will never finish it.
            line.releaseSlave();
        }
        if (once && device.ending() == SimDevice::Ending::None && line.hungUp() &&
            !line.inputPending()) {
            return SIM_INCOMPLETE;
        }
        if (device.ending() == SimDevice::Ending::Served && !line.outputPending()) {
            if (!drain_since) {
                drain_since = now;
                line.releaseSlave();
            }
            if (line.hungUp() || now - *drain_since > DRAIN_LIMIT) {
                break;
            }
        }

        // What piled up while the device did not read is never read.
        const bool listening = device.listening();
        if (listening && !was_listening) {
            line.dropInput();
        }
        was_listening = listening;

        // A device that sends whenever the line has room waits for room.
        const bool wants_room = !writable || (device.wantsLine() && !line.outputPending());
        pollfd fd{line.masterFd(), short((listening ? POLLIN : 0) | (wants_room ? POLLOUT : 0)), 0};
        auto due = earliest(line.nextDue(), device.nextDeadline());
        if (drain_since) {
            due = earliest(due, *drain_since + DRAIN_LIMIT);
        }
        const timespec timeout = until_due(due, now);
        // A hang-up is read even by a device that does not listen: the tool
        // is gone, and nothing it sent is taken in any more.
        const short readable = listening ? short(POLLIN | POLLHUP) : short(POLLHUP);
        if (ppoll(&fd, 1, &timeout, &wait_mask) > 0 && (fd.revents & readable)) {
            line.readAvailable(SimClock::now());
        }
    }
    if (!once) {
        return SIM_OK;
    }
    return device.ending() == SimDevice::Ending::Served &&
                   (device.imageWhole() || !device.sawTransfer())
               ? SIM_OK
               : SIM_INCOMPLETE;
}
