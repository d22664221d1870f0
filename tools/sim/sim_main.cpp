// kt62-sim: a KT62 device on a pseudo terminal, for running the update tool
// without hardware and for provoking the faults a bench sees.

#include "tools/sim/sim_device.h"
#include "tools/sim/sim_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {
enum SimExit
{
    SIM_OK = 0, // served whole (with --once), or stopped by a signal
    SIM_INCOMPLETE = 1,
    SIM_USAGE = 2,
};

// How long an ending session waits for the tool to close its port. Closing
// the pty earlier would throw away a last reply the tool has not read yet:
// a hang-up flushes what is still in the line.
constexpr std::chrono::milliseconds DRAIN_LIMIT{5000};
constexpr std::chrono::milliseconds IDLE_POLL{1000};

std::atomic<bool> g_stop{false};

void on_signal(int)
{
    g_stop = true;
}

void say(const QString &line)
{
    std::fputs(line.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void complain(const QString &line)
{
    std::fputs(("kt62-sim: " + line + "\n").toLocal8Bit().constData(), stderr);
}

struct SimConfig
{
    DeviceOptions device;
    LineOptions line;
    QString link;
    QString save;
    quint64 seed = 0;
};

bool parse_ratio(const QString &text, double *out)
{
    bool ok = false;
    *out = text.toDouble(&ok);
    return ok && *out >= 0.0 && *out <= 1.0;
}

bool parse_count(const QString &text, int *out)
{
    bool ok = false;
    *out = text.toInt(&ok);
    return ok && *out >= 0;
}

// Fills config from the command line; false (after a message) on bad usage.
bool parse_arguments(const QCoreApplication &app, SimConfig *config)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "A simulated KT62 device on a pseudo terminal. Prints the pty's name on the first line, "
        "then one line per event.\n\nExit codes: 0 served (with --once: the image was received "
        "whole, or a version check was answered), 1 the session ended without a whole image, "
        "2 bad usage.");
    parser.addHelpOption();
    const QCommandLineOption link("link", "Make PATH a symlink to the pty (removed on exit).",
                                  "PATH");
    const QCommandLineOption info("info", "Firmware information to answer.", "TEXT",
                                  QString::fromLatin1(config->device.info));
    const QCommandLineOption save("save", "Write the plain image received to FILE.", "FILE");
    const QCommandLineOption erase("erase-ms", "Erase time in milliseconds.", "MS", "200");
    const QCommandLineOption seed("seed", "Seed of every random choice.", "N");
    const QCommandLineOption split("chunk-split", "Cut every reply into random chunks.");
    const QCommandLineOption noise("noise", "Chance of random bytes before a frame.", "P");
    const QCommandLineOption nak("nak-rate", "Chance of asking again for a good block.", "P");
    const QCommandLineOption silent("silent-after", "Stop answering after N blocks.", "N");
    const QCommandLineOption exitAfter("exit-after", "Close the pty after N blocks.", "N");
    const QCommandLineOption fail("fail-result", "Report failure at the end.");
    const QCommandLineOption pace("pace", "Time every byte as an 8N1 line at BAUD.", "BAUD");
    const QCommandLineOption once("once", "Serve one upgrade or version check, then exit.");
    const QCommandLineOption verbose("verbose", "One line per block.");
    parser.addOptions({link, info, save, erase, seed, split, noise, nak, silent, exitAfter, fail,
                       pace, once, verbose});
    if (!parser.parse(app.arguments())) {
        complain(parser.errorText());
        return false;
    }
    if (parser.isSet("help")) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        std::exit(SIM_OK);
    }
    if (!parser.positionalArguments().isEmpty()) {
        complain("unexpected argument " + parser.positionalArguments().first());
        return false;
    }

    int erase_ms = 0;
    bool ok = parse_count(parser.value(erase), &erase_ms);
    config->device.erase_time = std::chrono::milliseconds(erase_ms);
    config->device.info = parser.value(info).toLocal8Bit();
    config->device.fail_result = parser.isSet(fail);
    config->device.once = parser.isSet(once);
    config->device.verbose = parser.isSet(verbose);
    if (parser.isSet(nak)) {
        ok = ok && parse_ratio(parser.value(nak), &config->device.nak_rate) &&
             config->device.nak_rate < 1.0;
    }
    if (parser.isSet(silent)) {
        ok = ok && parse_count(parser.value(silent), &config->device.silent_after);
    }
    if (parser.isSet(exitAfter)) {
        ok = ok && parse_count(parser.value(exitAfter), &config->device.exit_after);
    }
    config->line.chunk_split = parser.isSet(split);
    if (parser.isSet(noise)) {
        ok = ok && parse_ratio(parser.value(noise), &config->line.noise);
    }
    if (parser.isSet(pace)) {
        ok = ok && parse_count(parser.value(pace), &config->line.pace_baud) &&
             config->line.pace_baud > 0;
    }
    config->seed = std::random_device{}();
    if (parser.isSet(seed)) {
        config->seed = parser.value(seed).toULongLong(&ok);
    }
    if (!ok) {
        complain("invalid option value (see --help)");
        return false;
    }
    config->link = parser.value(link);
    config->save = parser.value(save);
    return true;
}

class LinkGuard
{
public:
    LinkGuard() = default;
    ~LinkGuard()
    {
        if (!m_path.isEmpty()) {
            ::unlink(QFile::encodeName(m_path).constData());
        }
    }
    // A stale link from an earlier run is replaced; anything else is kept.
    bool create(const QString &path, const QString &target)
    {
        const QByteArray name = QFile::encodeName(path);
        if (QFileInfo(path).isSymLink()) {
            ::unlink(name.constData());
        }
        if (::symlink(QFile::encodeName(target).constData(), name.constData()) != 0) {
            return false;
        }
        m_path = path;
        return true;
    }

private:
    QString m_path;
};

void install_signal_handlers(sigset_t *waitMask)
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&blocked, sig);
    }
    // Delivered only inside ppoll, so a signal can never slip in between
    // the check of the flag and the wait.
    sigprocmask(SIG_BLOCK, &blocked, waitMask);
    sigdelset(waitMask, SIGINT);
    sigdelset(waitMask, SIGTERM);
    sigdelset(waitMask, SIGHUP);
}

timespec until_due(std::optional<SimTime> due, SimTime now)
{
    const auto wait = due ? std::max(SimClock::duration::zero(), *due - now)
                          : std::chrono::duration_cast<SimClock::duration>(IDLE_POLL);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    return timespec{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
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

bool save_image(const QString &path, const QByteArray &image)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(image) == image.size();
}

// Runs the device until a signal, or until --once or --exit-after end it.
int serve(const SimConfig &config, SimLine &line, SimDevice &device, const sigset_t &waitMask)
{
    bool writable = true;
    std::optional<SimTime> drain_since;
    while (!g_stop) {
        SimTime now = SimClock::now();
        writable = line.flushDue(now);
        const QByteArray input = line.takeDueInput(now);
        if (!input.isEmpty()) {
            device.receive(input, now);
        }
        device.tick(now);
        writable = line.flushDue(now) && writable;

        if (device.ending() == SimDevice::Ending::Unplugged && !line.outputPending()) {
            line.close();
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

        pollfd fd{line.masterFd(), short(POLLIN | (writable ? 0 : POLLOUT)), 0};
        auto due = earliest(line.nextDue(), device.nextDeadline());
        if (drain_since) {
            due = earliest(due, *drain_since + DRAIN_LIMIT);
        }
        const timespec timeout = until_due(due, now);
        if (ppoll(&fd, 1, &timeout, &waitMask) > 0 && (fd.revents & (POLLIN | POLLHUP))) {
            line.readAvailable(SimClock::now());
        }
    }
    if (!config.device.once) {
        return SIM_OK;
    }
    return device.ending() == SimDevice::Ending::Served &&
                   (device.imageWhole() || !device.sawTransfer())
               ? SIM_OK
               : SIM_INCOMPLETE;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt62-sim");
    SimConfig config;
    if (!parse_arguments(app, &config)) {
        return SIM_USAGE;
    }
    sigset_t waitMask;
    install_signal_handlers(&waitMask);

    std::mt19937_64 random(config.seed);
    SimLine line(config.line, random);
    if (!line.open()) {
        complain("cannot create a pty: " + line.errorString());
        return SIM_INCOMPLETE;
    }
    LinkGuard link;
    if (!config.link.isEmpty() && !link.create(config.link, line.slavePath())) {
        complain("cannot create the link " + config.link);
        return SIM_USAGE;
    }
    say(line.slavePath());
    say(QStringLiteral("seed %1").arg(config.seed));

    std::uniform_real_distribution<double> unit(0.0, 1.0);
    SimDevice device(
        config.device,
        [&](const QByteArray &bytes, bool frame) { line.send(bytes, frame, SimClock::now()); }, say,
        [&] { return unit(random); });
    device.setTransferHook([&](const QByteArray &plain) {
        if (!config.save.isEmpty() && !save_image(config.save, plain)) {
            complain("cannot write " + config.save);
        }
    });
    return serve(config, line, device, waitMask);
}
