// Every way a user can hand the tool a bad file, through the upgrade and encryption dialogs and
// kt62-flash: each says what is wrong, leaves nothing half-written and sends nothing.
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "firmware/firmware_image.h"
#include "serial/gpi.h"
#include "tests/support/testpty.h"
#include "tests/tools/flash_run.h"
#include "upgrade/upgrader.h"
#include "widgets/prompts.h"

#include <QDir>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {
constexpr qint64 DIRECTORY = -1; // sizes that stand for something other than a file
constexpr qint64 DANGLING = -2;  // a link to nothing: the file cannot be opened
const QString NOT_READABLE = QStringLiteral("Firmware file cannot be read!");
const QString FAILED = QStringLiteral("加密失败!"), DONE = QStringLiteral("加密完成!");
QStringList g_answers, g_boxes; // what the file choosers answer; the boxes shown

bool make(const QString &path, qint64 size) // zeros, sparse so that megabytes cost nothing
{
    QFile file(path);
    QDir().mkpath(QFileInfo(path).path());
    return size == DIRECTORY  ? QDir().mkpath(path)
           : size == DANGLING ? QFile::link(path + ".missing", path)
                              : file.open(QIODevice::WriteOnly) && file.resize(size);
}

} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        set_message_responder([](const MessagePrompt &p) {
            g_boxes << p.text;
            return p.default_button;
        });
        set_file_responder([](const FilePrompt &) { return g_answers.takeFirst(); });
        g_gpi.openSerialPort(m_device.slavePath());
        QVERIFY(g_gpi.isOpen());
    }

    void init() { g_boxes.clear(); }
    void firmware_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("refusal"); // the dialog's box; empty: chosen
        const qint64 most = qint64(MAX_PACKET_COUNT) * FIRMWARE_PACKET_SIZE;
        const QString good = "KT62_V01.02.03.04.bin";
        QTest::newRow("no _V") << "KT62_01.02.03.04.bin" << 8LL
                               << QString("Firmware name is not right!");
        QTest::newRow("empty") << good << 0LL << QString("Firmware file is empty!");
        QTest::newRow("1 byte, no header") << good << 1LL << "";
        QTest::newRow("65536 packets") << good << most + 1 << NOT_READABLE;
        QTest::newRow("cannot be opened") << good << DANGLING << NOT_READABLE;
        QTest::newRow("a directory") << good << DIRECTORY << NOT_READABLE;
    }

    void firmware()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, refusal);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QVERIFY(make(path, size));
        DialogUpgrade dialog;
        g_answers = QStringList(path);
        dialog.findChild<QPushButton *>("btn_choose_firmware")->click();
        QCOMPARE(g_boxes, refusal.isEmpty() ? QStringList() : QStringList(refusal));
        QCOMPARE(g_firmware_file, refusal.isEmpty() ? path : QString());
        const Run run({"--port", m_device.slavePath(), "--timeout", "1", path});
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.startsWith("kt62-flash: " + path), qPrintable(run.err));
        QCOMPARE(m_device.readNow(), QByteArray()); // nothing reached the device
    }

    void plainImage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("outDir"); // empty: a writable one holding an older output
        const qint64 most = ENCRYPT_BUFFER_SIZE;
        QTest::newRow("no _") << "firmware.bin" << 8LL
                              << QString("加密中止！源文件名不正确，必须包含下划线符号_") << "";
        QTest::newRow("already _V") << "KT62_V01.bin" << 8LL << QString("源文件名不正确！") << "";
        QTest::newRow("1 byte") << "KT62_01.bin" << 1LL << DONE << "";
        QTest::newRow("exactly 5 MiB") << "KT62_01.bin" << most << DONE << "";
        QTest::newRow("5 MiB + 1") << "KT62_01.bin" << most + 1 << FAILED << "";
        QTest::newRow("cannot be opened") << "KT62_01.bin" << DANGLING << FAILED << "";
        QTest::newRow("a directory") << "KT62_01.bin" << DIRECTORY << FAILED << "";
        // Root writes anywhere it may; /proc takes no new files from anyone.
        QTest::newRow("unwritable output") << "KT62_01.bin" << 8LL << FAILED << "/proc";
        // Small enough to sit in the file's write buffer until the commit.
        QTest::newRow("disk full") << "KT62_01.bin" << 8000LL << FAILED << "full";
        // Only a regular file is replaced: the output's name is a second node of /dev/null.
        QTest::newRow("output is a device node") << "KT62_01.bin" << 8LL << FAILED << "node";
    }

    void plainImage()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, box);
        QFETCH(QString, outDir);
        QTemporaryDir dir;
        const QString source = dir.filePath("in/" + name);
        QVERIFY(make(source, size));
        const bool node = outDir == "node", writable = outDir.isEmpty() || outDir == "full" || node;
        outDir = writable ? dir.filePath("out") : outDir;
        const QString output = outDir + "/" + QString(name).replace("_", "_V").section('/', -1);
        // An earlier output: only a success may replace it (a device node reads as nothing).
        const QByteArray before(node ? 0 : 100, '\0');
        QVERIFY(!writable || make(output, before.size()));
        QVERIFY(!node || (QFile::remove(output) &&
                          mknod(qPrintable(output), S_IFCHR | 0600, makedev(1, 3)) == 0));
        // A full disk, for this process and the flasher it starts: files stop growing at 4 KiB,
        // and a write past that fails instead of killing the process.
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const auto restore = qScopeGuard([&saved] { setrlimit(RLIMIT_FSIZE, &saved); });
        if (box == FAILED && writable) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit full{4096, saved.rlim_max};
            setrlimit(RLIMIT_FSIZE, &full);
        }
        const QByteArray after = box == DONE ? encrypt_image(QByteArray(int(size), '\0')) : before;

        DialogEncrypt dialog;
        g_answers = QStringList{source, outDir};
        dialog.findChild<QPushButton *>("btn_choose_source_file")->click();
        dialog.findChild<QPushButton *>("btn_choose_output_dir")->click();
        dialog.findChild<QPushButton *>("btn_encrypt")->click();
        QCOMPARE(g_boxes, QStringList(box));
        QVERIFY(!writable || read_file(output) == after);
        const Run run({"--encrypt", source, "--output-dir", outDir});
        QCOMPARE(run.code, box == DONE ? 0 : 2);
        QVERIFY(box == DONE ? run.out.endsWith(output + "\n") : run.err.startsWith("kt62-flash: "));
        if (writable) { // after both, and no temporary file left beside it
            QCOMPARE(read_file(output), after);
            QCOMPARE(QDir(outDir).entryList(QDir::Files | QDir::System),
                     QStringList(QFileInfo(output).fileName()));
            struct stat facts = {};
            QCOMPARE(::stat(qPrintable(output), &facts) == 0 && S_ISCHR(facts.st_mode), node);
        }
    }

private:
    TestPty m_device;
};

QTEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"
