// kt62-flash against kt62-sim over ptys: one device or several at once on good and bad
// lines, and what is refused before a single byte reaches a device.

#include "firmware_image.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {
constexpr int IMAGE_SIZE = 20 * 1024 + 100; // the last packet is padded
constexpr int TIMEOUT_MS = 1500;
constexpr int QUERY_DELAY_MS = 1000; // the engine's first query waits this long
constexpr int LIMIT_MS = 30000;      // a loaded machine is slow, never this slow

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject report(const QString &path, int port = -1) // the whole report, or one port's entry
{
    const QJsonObject all = QJsonDocument::fromJson(readFile(path)).object();
    return port < 0 ? all : all.value("ports").toArray().at(port).toObject();
}

// kt62-sim on a link in its own directory; killed when the object goes.
struct Sim
{
    explicit Sim(const QStringList &flags)
    {
        process.setWorkingDirectory(dir.path());
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/sim/kt62-sim",
                      QStringList{"--link", port(), "--erase-ms", "50", "--save", "saved"} + flags);
    }
    ~Sim() { process.kill(), process.waitForFinished(); }
    bool ready()
    {
        return QTest::qWaitFor([&] { return QFile::exists(port()); }, LIMIT_MS);
    }
    QString port() const { return dir.filePath("tty"); }
    QByteArray saved() const { return readFile(dir.filePath("saved")); }
    QStringList events() // the pty's name and the seed left out
    {
        output += process.readAllStandardOutput();
        return QString(output).split('\n', Qt::SkipEmptyParts).mid(2);
    }
    QTemporaryDir dir;
    QProcess process;
    QByteArray output;
};

struct Run
{
    explicit Run(const QStringList &arguments)
    {
        QProcess process;
        process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash",
                      arguments);
        if (process.waitForFinished(LIMIT_MS) && process.exitStatus() == QProcess::NormalExit) {
            code = process.exitCode();
        }
        out = process.readAllStandardOutput();
        err = process.readAllStandardError();
    }
    int code = -1;
    QString out, err;
};

int askedAgain(const QStringList &events)
{
    const QRegularExpression pattern("transfer: .* (\\d+) asked again");
    return pattern.match(events.join('\n')).captured(1).toInt(); // 0 when absent
}
} // namespace

class TestFlash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void upgrade_data();
    void upgrade();
    void refused_data();
    void refused();
    void inspect_data();
    void inspect();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
    QByteArray m_plain;
    QString m_good;
};

void TestFlash::initTestCase()
{
    while (m_plain.size() < IMAGE_SIZE) { // every byte value, in no simple order
        m_plain.append(char(m_plain.size() * 7919 % 257));
    }
    for (const char *name : {"KT62_01.02.03.04.bin", "KT62_V05.05.05.05.bin", "firmware.bin"}) {
        QFile file(path(name)); // the second one a plain image renamed as if encrypted
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_plain) == IMAGE_SIZE);
    }
    // The trailing "/" is not doubled.
    const Run encrypt(
        {"--encrypt", path("KT62_01.02.03.04.bin"), "--output-dir", m_dir.path() + "/"});
    m_good = path("KT62_V01.02.03.04.bin");
    QCOMPARE(encrypt.out, m_good + "\n");
    const QByteArray image = readFile(m_good);
    QVERIFY(checksum_header_matches(image));
    QCOMPARE(decrypt_body(image.mid(ENCRYPT_HEADER_SIZE)), m_plain);
    QVERIFY(image.mid(ENCRYPT_HEADER_SIZE, 4) != m_plain.left(4)); // the key word is applied

    QFile truncated(path("KT62_V02.02.02.02.bin")), empty(path("KT62_V00.00.00.01.bin"));
    QVERIFY(truncated.open(QIODevice::WriteOnly) && truncated.write(image.chopped(100)) > 0);
    QVERIFY(empty.open(QIODevice::WriteOnly));
    // Sparse: one byte more than the 16-bit packet count can address.
    QFile huge(path("KT62_V09.09.09.09.bin"));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(65535LL * 1024 + 1));
}

void TestFlash::upgrade_data()
{
    QTest::addColumn<QList<QStringList>>("devices"); // simulator flags, or "absent"
    QTest::addColumn<QStringList>("flags");          // of kt62-flash, the firmware last
    QTest::addColumn<QVector<int>>("codes");         // per port
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QString>("out");
    const QStringList good{m_good};
    using Devices = QList<QStringList>;

    QTest::newRow("one device") << Devices{{}} << good << QVector<int>{0} << 0 << "";
    QTest::newRow("four devices") << Devices{{}, {}, {}, {}} << good << QVector<int>{0, 0, 0, 0}
                                  << 0 << "";
    QTest::newRow("faults side by side")
        << Devices{{"--chunk-split", "--noise", "0.5", "--seed", "9"},
                   {"--nak-rate", "0.3", "--seed", "10"},
                   {"--fail-result"},
                   {"--silent-after", "3"},
                   {"--exit-after", "3"},
                   {"absent"}}
        << good << QVector<int>{0, 0, 1, 4, 3, 3} << 4 << "";
    QTest::newRow("device falls silent")
        << Devices{{"--silent-after", "3"}} << good << QVector<int>{4} << 4 << "";
    QTest::newRow("mismatched header sent with --force")
        << Devices{{}} << QStringList{"--force", path("KT62_V05.05.05.05.bin")} << QVector<int>{1}
        << 1 << "";
    QTest::newRow("version of the device")
        << Devices{{"--info", "KT62_V02.10.00.07"}} << QStringList{"--check-version"}
        << QVector<int>{0} << 0 << "Current version: 02.10.00.07\n";
    QTest::newRow("versions of device and file")
        << Devices{{}} << QStringList{"--check-version", m_good} << QVector<int>{0} << 0
        << "Current version: 01.00.00.00\nTarget version: 01.02.03.04\n";
}

void TestFlash::upgrade()
{
    QFETCH(QList<QStringList>, devices);
    QFETCH(QStringList, flags);
    QFETCH(QVector<int>, codes);
    QFETCH(int, exit_code);
    QFETCH(QString, out);
    std::vector<std::unique_ptr<Sim>> sims;
    QStringList arguments =
        QStringList{"--timeout", "1.5", "--report", path("report.json")} + flags;
    for (const QStringList &device : devices) {
        sims.push_back(std::make_unique<Sim>(QStringList{"--once"} + device));
        QVERIFY(device.contains("absent") || sims.back()->ready());
        arguments << "--port" << (device.contains("absent") ? path("absent") : sims.back()->port());
    }
    const Run run(arguments);
    QCOMPARE(run.code, exit_code);
    QCOMPARE(run.out, out);
    QCOMPARE(report(path("report.json")).value("exit_code").toInt(-1), exit_code);
    const bool check = flags.contains("--check-version");
    for (int i = 0; i < codes.size(); ++i) {
        const QJsonObject entry = report(path("report.json"), i);
        QCOMPARE(entry.value("exit_code").toInt(-1), codes.at(i));
        // With several ports every line of a port starts with the port.
        const QString prefix = devices.size() > 1 ? entry.value("port").toString() + ": " : "";
        QCOMPARE(run.err.contains(prefix + "Upgrade finished!\n"), codes.at(i) == 0 && !check);
        QCOMPARE(run.err.contains("kt62-flash: " + prefix), codes.at(i) != 0);
        if (codes.at(i) == 4) { // not before the time-out (the query timer may be 5 % early)
            const double total = entry.value("phases").toObject().value("total").toDouble();
            QVERIFY(total * 1000 >= QUERY_DELAY_MS * 95 / 100 + TIMEOUT_MS);
        }
        if (codes.at(i) != 0) {
            continue;
        }
        QVERIFY(sims[i]->process.waitForFinished(LIMIT_MS) && sims[i]->process.exitCode() == 0);
        const QStringList events = sims[i]->events();
        if (check) { // the query names the file's version, if any; the check erases nothing
            QVERIFY(events.contains(flags.size() > 1 ? "query \"01.02.03.04\"" : "query \"\""));
            QVERIFY(events.contains("cancel") && events.filter("erase").isEmpty());
            continue;
        }
        QVERIFY(sims[i]->saved() == m_plain);
        // Every block the device asked for again was sent again, only those.
        QCOMPARE(entry.value("repeats").toInt(), askedAgain(events));
        QVERIFY(askedAgain(events) > 0 || !devices[i].contains("--nak-rate"));
    }
}

void TestFlash::refused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    const QString mismatch = "the checksum header does not match the body";

    QTest::newRow("missing file") << QStringList{path("KT62_V03.03.03.03.bin")} << "no such file";
    QTest::newRow("plain image name")
        << QStringList{path("KT62_01.02.03.04.bin")} << "must carry the model and version";
    QTest::newRow("empty file") << QStringList{path("KT62_V00.00.00.01.bin")} << "empty";
    QTest::newRow("oversize file") << QStringList{path("KT62_V09.09.09.09.bin")} << "too large";
    QTest::newRow("plain image renamed") << QStringList{path("KT62_V05.05.05.05.bin")} << mismatch;
    QTest::newRow("truncated image") << QStringList{path("KT62_V02.02.02.02.bin")} << mismatch;
    QTest::newRow("renamed, for two ports")
        << QStringList{"--port", path("tty2"), path("KT62_V05.05.05.05.bin")} << mismatch;
    QTest::newRow("one port twice") << QStringList{"--port", "SIM", m_good} << "each --port";
    QTest::newRow("two modes") << QStringList{"--inspect", m_good, "--check-version"}
                               << "exclude each other";
    QTest::newRow("encrypt: name without \"_\"")
        << QStringList{"--encrypt", path("firmware.bin"), "--output-dir", "/"} << "needs a \"_\"";
    QTest::newRow("encrypt: encrypted already")
        << QStringList{"--encrypt", m_good, "--output-dir", "/"} << "already holds \"_V\"";
}

void TestFlash::refused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    Sim sim({});
    QVERIFY(sim.ready());
    const QString json = sim.dir.filePath("report.json");
    arguments.replaceInStrings("SIM", sim.port());
    if (!arguments.contains("--encrypt")) {
        arguments = QStringList{"--port", sim.port(), "--report", json} + arguments;
    }
    const Run run(arguments);
    QCOMPARE(run.code, 2);
    QVERIFY2(run.err.startsWith("kt62-flash: ") && run.err.contains(message), qPrintable(run.err));
    if (QFile::exists(json)) {
        for (int i = 0; i < arguments.count("--port"); ++i) {
            QCOMPARE(report(json, i).value("result").toString(), QString("bad input"));
        }
    }
    // The device heard nothing: no start sequence, not a stray byte.
    QCOMPARE(sim.events(), QStringList());
}

void TestFlash::inspect_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("facts"); // model/version/size/packets/header

    QTest::newRow("encrypted image") << "KT62_V01.02.03.04.bin"
                                     << "KT62/01.02.03.04/20584/21/ok (0x";
    QTest::newRow("plain image renamed") << "KT62_V05.05.05.05.bin"
                                         << "KT62/05.05.05.05/20580/21/MISMATCH (header says";
    QTest::newRow("truncated") << "KT62_V02.02.02.02.bin"
                               << "KT62/02.02.02.02/20484/21/MISMATCH (header says";
    QTest::newRow("empty")
        << "KT62_V00.00.00.01.bin"
        << "KT62/00.00.00.01/0/0/MISMATCH (0 bytes, too short for the 4-byte header)";
    QTest::newRow("plain name") << "KT62_01.02.03.04.bin"
                                << "unknown/unknown/20580/21/MISMATCH (";
}

void TestFlash::inspect()
{
    QFETCH(QString, file);
    QFETCH(QString, facts);
    const Run run({"--inspect", path(file)});
    const QStringList f = facts.split('/');
    const QString expected = QString("file: %1\nmodel: %2\ntarget version: %3\nsize: %4 bytes\n"
                                     "packets: %5\nheader: %6")
                                 .arg(path(file), f[0], f[1], f[2], f[3], f[4]);
    QVERIFY2(run.out.startsWith(expected), qPrintable(run.out));
    // 0 only for an image an upgrade would send; otherwise the reason.
    QCOMPARE(run.code, f[4].startsWith("ok") ? 0 : 2);
    QCOMPARE(run.err.isEmpty(), run.code == 0);
}

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
