// kt62-sim: a KT62 device on a pseudo terminal, for running the update tool
// without hardware and for provoking the faults a bench sees.

#include "firmware/file_target.h"
#include "tools/sim/link_guard.h"
#include "tools/sim/sim_args.h"
#include "tools/sim/sim_device.h"
#include "tools/sim/sim_exit.h"
#include "tools/sim/sim_line.h"
#include "tools/sim/sim_session.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <random>

namespace {
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

// Why the received image could not be kept at path, found before anything
// is served: a run that cannot keep its image must not end as a good one.
QString save_refusal(const QString &path)
{
    if (path.isEmpty()) {
        return QString();
    }
    const QFileInfo folder(QFileInfo(path).path());
    if (!folder.isDir()) {
        return QStringLiteral("cannot write %1: the folder %2 does not exist")
            .arg(path, folder.filePath());
    }
    const QString target = output_file_refusal(path);
    return target.isEmpty() ? QString() : QStringLiteral("cannot write ") + target;
}

bool save_image(const QString &path, const QByteArray &image)
{
    // Looked at again: a FIFO put there since the start would block the device.
    if (!output_file_refusal(path).isEmpty()) {
        return false;
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(image) == image.size();
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt62-sim");
    const SimArgs args = parse_sim_args(QCoreApplication::arguments());
    if (!args.ok()) {
        complain(args.error);
        return SIM_USAGE;
    }
    if (args.action == SimArgs::Action::Help) {
        std::fputs(sim_help_text().toLocal8Bit().constData(), stdout);
        return SIM_OK;
    }
    if (args.action == SimArgs::Action::Version) {
        say(sim_version_text());
        return SIM_OK;
    }
    const SimConfig &config = args.config;
    const QString refused = save_refusal(config.save);
    if (!refused.isEmpty()) {
        complain(refused);
        return SIM_USAGE;
    }
    const sigset_t wait_mask = install_stop_signals();

    const quint64 seed = config.seed ? *config.seed : quint64(std::random_device{}());
    std::mt19937_64 random(seed);
    SimLine line(config.line, random);
    if (!line.open()) {
        complain("cannot create a pty: " + line.errorString());
        return SIM_INCOMPLETE;
    }
    LinkGuard link;
    QString why;
    if (!config.link.isEmpty() && !link.create(config.link, line.slavePath(), &why)) {
        complain("cannot create the link " + why);
        return SIM_USAGE;
    }
    say(line.slavePath());
    say(QStringLiteral("seed %1").arg(seed));

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
    return serve(line, device, config.device.once, wait_mask);
}
