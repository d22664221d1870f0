#include "tools/sim/sim_args.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <functional>
#include <vector>

namespace {
const char PROGRAM[] = "kt62-sim";

struct SimOptions
{
    QCommandLineOption link{"link",
                            "Make PATH a symlink to the pty; a link to a pty that is there is "
                            "refused. Removed on exit while it still leads to this pty.",
                            "PATH"};
    QCommandLineOption info{"info", "Firmware information to answer.", "TEXT",
                            QString::fromLatin1(DeviceOptions().info)};
    QCommandLineOption save{"save",
                            "Write the plain image received to FILE (a new or a regular file, "
                            "in a folder that is there).",
                            "FILE"};
    QCommandLineOption erase{"erase-ms", "Erase time in milliseconds.", "MS", "200"};
    QCommandLineOption seed{"seed", "Seed of every random choice.", "N"};
    QCommandLineOption split{"chunk-split", "Cut every reply into random chunks."};
    QCommandLineOption noise{"noise", "Chance of random bytes before a frame.", "P"};
    QCommandLineOption nak{"nak-rate", "Chance of asking again for a good block.", "P"};
    QCommandLineOption silent{"silent-after", "Stop answering after N blocks.", "N"};
    QCommandLineOption exit_after{"exit-after", "Close the pty after N blocks.", "N"};
    QCommandLineOption fail{"fail-result", "Report failure at the end."};
    QCommandLineOption babble{"babble", "Answer no query: send a line of boot log every second "
                                        "instead."};
    QCommandLineOption crc{"crc-mode", "After the erase, ask for blocks with \"C\" once a "
                                       "second, as a CRC-mode XMODEM receiver does, never with a "
                                       "NAK."};
    QCommandLineOption nak_stream{"nak-stream",
                                  "After the erase, send NAKs without pause and take no block."};
    QCommandLineOption erase_loop{"erase-loop",
                                  "After the erase, report its end and acknowledge every block, "
                                  "again once a second, taking no block."};
    QCommandLineOption early{"early-success", "Answer the query with a success result."};
    QCommandLineOption twice{"answer-twice", "Answer every query twice, in one write."};
    QCommandLineOption unasked{"unasked-erase",
                               "Report the end of an erase as a run starts, before any was asked "
                               "for, and ask for blocks."};
    QCommandLineOption ack_unseen{"ack-unseen", "After the erase, acknowledge every block before "
                                                "it comes, then report success."};
    QCommandLineOption blind_acks{"blind-acks",
                                  "After the erase, send three NAKs, an ACK for every block and "
                                  "one more, and a success result, reading nothing meanwhile."};
    QCommandLineOption pace{"pace", "Time every byte as an 8N1 line at BAUD.", "BAUD"};
    QCommandLineOption once{"once", "Serve one upgrade or version check, then exit."};
    QCommandLineOption verbose{"verbose", "One line per block."};
};

void add_options(QCommandLineParser &parser, const SimOptions &o)
{
    parser.setApplicationDescription(
        "A simulated KT62 device on a pseudo terminal. Prints the pty's name on the first line, "
        "then one line per event.\n\nExit codes: 0 served (with --once: the image was received "
        "whole, or a version check was answered), 1 the session ended without a whole image "
        "(with --once also when the tool let go of the line in the middle of it), 2 bad usage "
        "(also a --link another simulator serves, a --save FILE that cannot be written).");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({o.link,       o.info,       o.save,       o.erase,      o.seed,   o.split,
                       o.noise,      o.nak,        o.silent,     o.exit_after, o.fail,   o.babble,
                       o.crc,        o.nak_stream, o.erase_loop, o.early,      o.twice,  o.unasked,
                       o.ack_unseen, o.blind_acks, o.pace,       o.once,       o.verbose});
}

// A whole number of at least minimum.
bool read_count(const QString &text, int minimum, int *out)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum) {
        return false;
    }
    *out = value;
    return true;
}

// A chance from 0 to 1, or to just below 1 when one would mean "always".
bool read_chance(const QString &text, bool below_one, double *out)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= 0.0 && value <= 1.0) || (below_one && value >= 1.0)) {
        return false;
    }
    *out = value;
    return true;
}

// One option with a value to check: what it takes, in words for the
// message, and how its text is read into the configuration.
struct ValueRule
{
    const QCommandLineOption &option;
    const char *takes;
    std::function<bool(const QString &)> read;
};

// Reads every option that carries a number; the first one at fault, in the
// order --help lists them, is named. Returns the error, or an empty text.
QString read_numbers(const QCommandLineParser &parser, const SimOptions &o, SimConfig *config)
{
    DeviceOptions &device = config->device;
    const std::vector<ValueRule> rules = {
        {o.erase, "a whole number of milliseconds, 0 or more",
         [&](const QString &text) {
             int ms = 0;
             if (!read_count(text, 0, &ms)) {
                 return false;
             }
             device.erase_time = std::chrono::milliseconds(ms);
             return true;
         }},
        {o.seed, "a whole number from 0 to 18446744073709551615",
         [&](const QString &text) {
             bool ok = false;
             const quint64 seed = text.toULongLong(&ok);
             if (ok) {
                 config->seed = seed;
             }
             return ok;
         }},
        {o.noise, "a chance from 0 to 1",
         [&](const QString &text) { return read_chance(text, false, &config->line.noise); }},
        // A block asked for again every time would never get through.
        {o.nak, "a chance of 0 or more and below 1",
         [&](const QString &text) { return read_chance(text, true, &device.nak_rate); }},
        {o.silent, "a number of blocks, 0 or more",
         [&](const QString &text) { return read_count(text, 0, &device.silent_after); }},
        {o.exit_after, "a number of blocks, 0 or more",
         [&](const QString &text) { return read_count(text, 0, &device.exit_after); }},
        {o.pace, "a baud rate above 0",
         [&](const QString &text) { return read_count(text, 1, &config->line.pace_baud); }},
    };
    for (const ValueRule &rule : rules) {
        // The erase time has a default, which is read like a given value.
        const bool given = parser.isSet(rule.option) || !rule.option.defaultValues().isEmpty();
        const QString text = parser.value(rule.option);
        if (given && !rule.read(text)) {
            return QStringLiteral("--%1 takes %2, not \"%3\" (see --help)")
                .arg(rule.option.names().constFirst(), QLatin1String(rule.takes), text);
        }
    }
    return QString();
}
} // namespace

SimArgs parse_sim_args(const QStringList &arguments)
{
    const SimOptions o;
    QCommandLineParser parser;
    add_options(parser, o);
    SimArgs args;
    if (!parser.parse(arguments)) {
        args.error = parser.errorText();
        return args;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        args.action = SimArgs::Action::Help;
        return args;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        args.action = SimArgs::Action::Version;
        return args;
    }
    if (!parser.positionalArguments().isEmpty()) {
        args.error = QStringLiteral("unexpected argument ") + parser.positionalArguments().first();
        return args;
    }
    SimConfig &config = args.config;
    args.error = read_numbers(parser, o, &config);
    config.device.info = parser.value(o.info).toLocal8Bit();
    config.device.fail_result = parser.isSet(o.fail);
    config.device.babble = parser.isSet(o.babble);
    config.device.crc_mode = parser.isSet(o.crc);
    config.device.nak_stream = parser.isSet(o.nak_stream);
    config.device.erase_loop = parser.isSet(o.erase_loop);
    config.device.early_success = parser.isSet(o.early);
    config.device.answer_twice = parser.isSet(o.twice);
    config.device.unasked_erase = parser.isSet(o.unasked);
    config.device.ack_unseen = parser.isSet(o.ack_unseen);
    config.device.blind_acks = parser.isSet(o.blind_acks);
    config.device.once = parser.isSet(o.once);
    config.device.verbose = parser.isSet(o.verbose);
    config.line.chunk_split = parser.isSet(o.split);
    config.link = parser.value(o.link);
    config.save = parser.value(o.save);
    return args;
}

QString sim_help_text()
{
    const SimOptions options;
    QCommandLineParser parser;
    add_options(parser, options);
    return parser.helpText();
}

QString sim_version_text()
{
    return QStringLiteral("%1 %2").arg(QLatin1String(PROGRAM), QStringLiteral(KT62_VERSION));
}
