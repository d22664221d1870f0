// Every way a user can hand the tool a bad file, through every door: the
// upgrade and encryption dialogs (answered through their prompt seam) and
// kt62-flash. Each must say what is wrong, leave nothing half-written on disk
// and send nothing to the device.
#include "dialogencrypt.h"
#include "dialogupgrade.h"
#include "firmware_image.h"
#include "gpi.h"
#include "prompts.h"
#include "testpty.h"
#include "upgrader.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {
enum Kind
{
    Bytes,     // a regular file of `size` bytes
    Sparse,    // a file of `size` bytes with holes, made instantly
    Directory, // a directory where a file is expected
    Dangling,  // a link to nothing: the file cannot be opened
};

const QString NOT_READABLE = QStringLiteral("Firmware file cannot be read!");
const QString BAD_NAME = QStringLiteral("Firmware name is not right!");
const QString FAILED = QStringLiteral("加密失败!");
const QString DONE = QStringLiteral("加密完成!");
const QString BAD_SOURCE = QStringLiteral("源文件名不正确！");

bool make(const QString &path, Kind kind, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    if (kind == Directory) {
        return QDir().mkpath(path);
    }
    if (kind == Dangling) {
        return QFile::link(path + ".missing", path);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    if (kind == Sparse) {
        return file.resize(size);
    }
    return file.write(QByteArray(int(size), '\x5a')) == size;
}

// Everything the prompts were asked, as text; choosers answer with `answers`.
struct Prompts
{
    QStringList answers, boxes;
    Prompts()
    {
        set_message_responder([this](const MessagePrompt &p) {
            boxes << p.text;
            return p.default_button;
        });
        set_file_responder([this](const FilePrompt &) {
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
    }
    ~Prompts()
    {
        set_message_responder(nullptr);
        set_file_responder(nullptr);
    }
};

int flash(const QStringList &args, QString *output)
{
    QProcess process;
    process.start(qEnvironmentVariable("KT62_BUILD_DIR") + "/tools/flash/kt62-flash", args);
    if (!process.waitForFinished(60000)) {
        process.kill();
        return -1;
    }
    *output = QString::fromUtf8(process.readAllStandardError() + process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void click(QWidget *dialog, const char *button)
{
    dialog->findChild<QPushButton *>(QLatin1String(button))->click();
}
} // namespace

class TestBadInput : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { g_gpi.closeSerialPort(); }
    void firmware_data();
    void firmware();
    void plainImage_data();
    void plainImage();

private:
    Pty m_device;
};

void TestBadInput::initTestCase()
{
    g_gpi.openSerialPort(m_device.slavePath());
    QVERIFY(g_gpi.isOpen());
}

void TestBadInput::firmware_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("refusal"); // the dialog's box; empty: chosen
    QTest::addColumn<int>("flashExit");   // -1: the flasher would go on to upgrade
    const qint64 most = qint64(MAX_PACKET_COUNT) * FIRMWARE_PACKET_SIZE;
    QTest::newRow("no _V") << "KT62_01.02.03.04.bin" << int(Bytes) << 8LL << BAD_NAME << 2;
    QTest::newRow("_v lower case") << "KT62_v01.02.03.04.bin" << int(Bytes) << 8LL << BAD_NAME << 2;
    QTest::newRow("_V only in the directory") << "fw_V/any.bin" << int(Bytes) << 8LL << "" << 2;
    QTest::newRow("empty") << "KT62_V01.02.03.04.bin" << int(Bytes) << 0LL << NOT_READABLE << 2;
    QTest::newRow("1 byte, no header") << "KT62_V01.02.03.04.bin" << int(Bytes) << 1LL << "" << 2;
    QTest::newRow("65535 packets") << "KT62_V01.02.03.04.bin" << int(Sparse) << most << "" << -1;
    QTest::newRow("65536 packets")
        << "KT62_V01.02.03.04.bin" << int(Sparse) << most + 1 << NOT_READABLE << 2;
    QTest::newRow("cannot be opened")
        << "KT62_V01.02.03.04.bin" << int(Dangling) << 0LL << NOT_READABLE << 2;
    QTest::newRow("a directory") << "KT62_V01.02.03.04.bin" << int(Directory) << 0LL << NOT_READABLE
                                 << 2;
}

void TestBadInput::firmware()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(qint64, size);
    QFETCH(QString, refusal);
    QFETCH(int, flashExit);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QVERIFY(make(path, Kind(kind), size));

    Prompts prompts;
    DialogUpgrade dialog;
    dialog.show();
    prompts.answers << path;
    click(&dialog, "btn_choose_firmware");
    if (refusal.isEmpty()) {
        QCOMPARE(prompts.boxes, QStringList());
        QCOMPARE(g_firmware_file, path);
    } else {
        QCOMPARE(prompts.boxes, QStringList(refusal));
        QVERIFY(g_firmware_file.isEmpty());
        click(&dialog, "btn_begin_upgrade");
        QCOMPARE(prompts.boxes.last(), QStringLiteral("Please choose firmware!"));
    }
    dialog.hide();

    if (flashExit >= 0) {
        QString said;
        QCOMPARE(flash({"--port", m_device.slavePath(), "--timeout", "1", path}, &said), flashExit);
        QVERIFY2(said.contains(QFileInfo(path).fileName()), qPrintable(said));
    }
    QCOMPARE(m_device.readNow(), QByteArray()); // nothing reached the device
}

void TestBadInput::plainImage_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("writableOutput");
    QTest::addColumn<QString>("box");
    const QString noUnderscore = QStringLiteral("加密中止！源文件名不正确，必须包含下划线符号_");
    QTest::newRow("no _") << "firmware.bin" << int(Bytes) << 8LL << true << noUnderscore;
    QTest::newRow("already _V") << "KT62_V01.bin" << int(Bytes) << 8LL << true << BAD_SOURCE;
    QTest::newRow("_V in the directory")
        << "fw_V/KT62_01.bin" << int(Bytes) << 8LL << true << BAD_SOURCE;
    QTest::newRow("1 byte") << "KT62_01.bin" << int(Bytes) << 1LL << true << DONE;
    QTest::newRow("exactly 5 MiB")
        << "KT62_01.bin" << int(Bytes) << qint64(ENCRYPT_BUFFER_SIZE) << true << DONE;
    QTest::newRow("5 MiB + 1") << "KT62_01.bin" << int(Bytes) << qint64(ENCRYPT_BUFFER_SIZE) + 1
                               << true << FAILED;
    QTest::newRow("cannot be opened") << "KT62_01.bin" << int(Dangling) << 0LL << true << FAILED;
    QTest::newRow("a directory") << "KT62_01.bin" << int(Directory) << 0LL << true << FAILED;
    QTest::newRow("unwritable output") << "KT62_01.bin" << int(Bytes) << 8LL << false << FAILED;
}

void TestBadInput::plainImage()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(qint64, size);
    QFETCH(bool, writableOutput);
    QFETCH(QString, box);
    QTemporaryDir dir;
    const QString source = dir.filePath("in/" + name);
    QVERIFY(make(source, Kind(kind), size));
    // Root writes anywhere it may; /proc takes no new files from anyone.
    const QString outDir = writableOutput ? dir.filePath("out") : QStringLiteral("/proc");
    QDir().mkpath(dir.filePath("out"));
    const QString output = outDir + "/" + QString(name).replace("_", "_V").section('/', -1);
    const QByteArray before("an earlier, longer file that only a success may replace");
    if (writableOutput) {
        QFile old(output);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(before) == before.size());
    }
    const bool success = box == DONE;

    for (const bool viaDialog : {true, false}) {
        if (viaDialog) {
            Prompts prompts;
            DialogEncrypt dialog;
            prompts.answers << source << outDir;
            click(&dialog, "btn_choose_source_file");
            click(&dialog, "btn_choose_output_dir");
            click(&dialog, "btn_encrypt");
            QCOMPARE(prompts.boxes, QStringList(box));
        } else {
            QString said;
            QCOMPARE(flash({"--encrypt", source, "--output-dir", outDir}, &said), success ? 0 : 2);
            QVERIFY(!said.trimmed().isEmpty());
        }
        if (writableOutput) {
            QFile out(output);
            QVERIFY(out.open(QIODevice::ReadOnly));
            const QByteArray written = out.readAll();
            QCOMPARE(written.size(), success ? int(size) + ENCRYPT_HEADER_SIZE : before.size());
            QVERIFY(success || written == before);
            // No temporary file is left beside the output.
            QCOMPARE(QDir(outDir).entryList(QDir::Files),
                     QStringList(QFileInfo(output).fileName()));
        }
    }
}

QTEST_MAIN(TestBadInput)
#include "tst_bad_input.moc"
