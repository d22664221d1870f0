// kt62-sim's command line read as data: every value checked on its own and the option at fault
// named, what good arguments configure, and the executable's exit code and streams for both.
#include "tools/sim/sim_args.h"

#include <QProcess>
#include <QtTest>

namespace {
constexpr int LIMIT_MS = 30000; // a loaded machine is slow, never this slow

QStringList command(const QString &arguments) // split at spaces, argv[0] first
{
    return QStringList{"kt62-sim"} + arguments.split(' ', Qt::SkipEmptyParts);
}

QString bad(const QString &option, const QString &takes, const QString &value)
{
    return QString("--%1 takes %2, not \"%3\" (see --help)").arg(option, takes, value);
}

const QString COUNT = "a number of blocks, 0 or more";
const QString CHANCE = "a chance from 0 to 1";
const QString NAK_CHANCE = "a chance of 0 or more and below 1";
const QString SEED = "a whole number from 0 to 18446744073709551615";
} // namespace

Q_DECLARE_METATYPE(SimConfig)
Q_DECLARE_METATYPE(SimArgs::Action)

class TestSimArgs : public QObject
{
    Q_OBJECT
private slots:
    void errors_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("error");
        // A good value after a bad one used to hide it.
        QTest::newRow("bad chance, good seed")
            << "--nak-rate 5 --seed 1" << bad("nak-rate", NAK_CHANCE, "5");
        QTest::newRow("good seed first")
            << "--seed 1 --nak-rate 5" << bad("nak-rate", NAK_CHANCE, "5");
        QTest::newRow("bad pace, good noise")
            << "--pace 0 --noise 0.5" << bad("pace", "a baud rate above 0", "0");
        QTest::newRow("bad seed, good count")
            << "--seed x --silent-after 3" << bad("seed", SEED, "x");
        QTest::newRow("naks every time") << "--nak-rate 1" << bad("nak-rate", NAK_CHANCE, "1");
        QTest::newRow("noise not a number") << "--noise nan" << bad("noise", CHANCE, "nan");
        QTest::newRow("noise above 1") << "--noise 1.01" << bad("noise", CHANCE, "1.01");
        QTest::newRow("negative erase")
            << "--erase-ms -1"
            << bad("erase-ms", "a whole number of milliseconds, 0 or more", "-1");
        QTest::newRow("silent after a fraction")
            << "--silent-after 2.5" << bad("silent-after", COUNT, "2.5");
        QTest::newRow("exit after negative") << "--exit-after -3" << bad("exit-after", COUNT, "-3");
        QTest::newRow("negative seed") << "--seed -1" << bad("seed", SEED, "-1");
        QTest::newRow("seed beyond 64 bits")
            << "--seed 18446744073709551616" << bad("seed", SEED, "18446744073709551616");
        QTest::newRow("unknown option") << "--bogus"
                                        << "Unknown option 'bogus'.";
        QTest::newRow("missing value") << "--pace"
                                       << "Missing value after '--pace'.";
        QTest::newRow("argument") << "--once extra"
                                  << "unexpected argument extra";
    }

    void errors()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, error);
        const SimArgs args = parse_sim_args(command(arguments));
        QVERIFY(!args.ok());
        QCOMPARE(args.error, error);
    }

    void configs_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<SimConfig>("expected");
        QTest::newRow("defaults") << "" << SimConfig();

        SimConfig all;
        all.link = "/tmp/tty", all.save = "image.bin", all.seed = 18446744073709551615ULL;
        all.device.info = "KT62_V09.08.07.06";
        all.device.erase_time = std::chrono::milliseconds(0);
        all.device.nak_rate = 0.999;
        all.device.silent_after = 0, all.device.exit_after = 7;
        all.device.fail_result = all.device.once = all.device.verbose = true;
        all.device.babble = all.device.crc_mode = all.device.nak_stream = true;
        all.device.early_success = all.device.ack_unseen = true;
        all.line.noise = 1.0, all.line.pace_baud = 115200, all.line.chunk_split = true;
        QTest::newRow("every option at its limit")
            << "--link /tmp/tty --save image.bin --seed 18446744073709551615 --info "
               "KT62_V09.08.07.06 --erase-ms 0 --nak-rate 0.999 --silent-after 0 --exit-after 7 "
               "--fail-result --once --verbose --noise 1 --pace 115200 --chunk-split --babble "
               "--crc-mode --nak-stream --early-success --ack-unseen"
            << all;
    }

    void configs()
    {
        QFETCH(QString, arguments);
        QFETCH(SimConfig, expected);
        const SimArgs args = parse_sim_args(command(arguments));
        QVERIFY2(args.ok(), qPrintable(args.error));
        QCOMPARE(args.action, SimArgs::Action::Serve);
        const SimConfig &config = args.config;
        QCOMPARE(config.link, expected.link);
        QCOMPARE(config.save, expected.save);
        QCOMPARE(config.seed.has_value(), expected.seed.has_value());
        QCOMPARE(config.seed.value_or(0), expected.seed.value_or(0));
        const DeviceOptions &device = config.device;
        QCOMPARE(device.info, expected.device.info);
        QCOMPARE(device.erase_time.count(), expected.device.erase_time.count());
        QCOMPARE(device.nak_rate, expected.device.nak_rate);
        QCOMPARE(device.silent_after, expected.device.silent_after);
        QCOMPARE(device.exit_after, expected.device.exit_after);
        QCOMPARE(device.fail_result, expected.device.fail_result);
        QCOMPARE(device.once, expected.device.once);
        QCOMPARE(device.verbose, expected.device.verbose);
        QCOMPARE(device.babble, expected.device.babble);
        QCOMPARE(device.crc_mode, expected.device.crc_mode);
        QCOMPARE(device.nak_stream, expected.device.nak_stream);
        QCOMPARE(device.early_success, expected.device.early_success);
        QCOMPARE(device.ack_unseen, expected.device.ack_unseen);
        QCOMPARE(config.line.noise, expected.line.noise);
        QCOMPARE(config.line.pace_baud, expected.line.pace_baud);
        QCOMPARE(config.line.chunk_split, expected.line.chunk_split);
    }

    void actions_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<SimArgs::Action>("action");
        // Help and the version are answered whatever the values say.
        QTest::newRow("help") << "-h --nak-rate 5" << SimArgs::Action::Help;
        QTest::newRow("version") << "--version --pace 0" << SimArgs::Action::Version;
    }

    void actions()
    {
        QFETCH(QString, arguments);
        const SimArgs args = parse_sim_args(command(arguments));
        QVERIFY(args.ok());
        QTEST(args.action, "action");
    }

    void executable_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        // Refused before any pty is made: nothing on standard output.
        QTest::newRow("bad value") << QStringList{"--nak-rate", "5", "--seed", "1"} << 2 << ""
                                   << "kt62-sim: " + bad("nak-rate", NAK_CHANCE, "5") + "\n";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "kt62-sim " KT62_VERSION "\n"
                                 << "";
    }

    void executable()
    {
        QFETCH(QStringList, arguments);
        QProcess sim;
        sim.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/sim/kt62-sim", arguments);
        const bool ended = sim.waitForFinished(LIMIT_MS);
        if (!ended) {
            sim.kill();
            sim.waitForFinished();
        }
        QVERIFY(ended && sim.exitStatus() == QProcess::NormalExit);
        QTEST(sim.exitCode(), "code");
        QTEST(QString::fromUtf8(sim.readAllStandardOutput()), "out");
        QTEST(QString::fromUtf8(sim.readAllStandardError()), "err");
    }
};

QTEST_GUILESS_MAIN(TestSimArgs)
#include "tst_sim_args.moc"
