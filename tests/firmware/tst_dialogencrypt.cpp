#include "dialogencrypt.h"
#include "firmware_image.h"
#include "logcapture.h"
#include "promptrecorder.h"
#include "ui_dialogencrypt.h"

#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {
bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
} // namespace

class TestDialogEncrypt : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void form();
    void choosersAskAsTheUserExpects();
    void cancelledChoiceClearsEarlierOne();
    void refusals_data();
    void refusals();
    void outputPath_data();
    void outputPath();
    void failures_data();
    void failures();

private:
    Ui::DialogEncrypt *ui() const { return m_dialog->ui; }
    // Chooses source and output directory through the dialog's own buttons.
    void choose(const QString &source, const QString &dir);
    QStringList visibleFiles() const
    {
        return QDir(m_dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<DialogEncrypt> m_dialog;
    std::unique_ptr<PromptRecorder> m_prompts;
};

void TestDialogEncrypt::init()
{
    m_prompts = std::make_unique<PromptRecorder>();
    m_dialog = std::make_unique<DialogEncrypt>();
}

void TestDialogEncrypt::cleanup()
{
    m_dialog.reset();
    m_prompts.reset();
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.path());
}

void TestDialogEncrypt::choose(const QString &source, const QString &dir)
{
    m_prompts->answers = QStringList{source, dir};
    ui()->btn_choose_source_file->click();
    ui()->btn_choose_output_dir->click();
}

void TestDialogEncrypt::form()
{
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("固件加密"));
    QCOMPARE(m_dialog->minimumSize(), QSize(640, 193));
    QCOMPARE(m_dialog->maximumSize(), QSize(640, 193));
    QCOMPARE(ui()->btn_choose_source_file->text(), QStringLiteral("选择源文件"));
    QCOMPARE(ui()->btn_choose_output_dir->text(), QStringLiteral("选择输出目录"));
    QCOMPARE(ui()->btn_encrypt->text(), QStringLiteral("加密"));
    QCOMPARE(ui()->lbl_source_path->text(), QStringLiteral("未设置"));
    QCOMPARE(ui()->lbl_output_dir->text(), QStringLiteral("未设置"));

    int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
    const auto cell = [&](QWidget *w) {
        ui()->gridLayout->getItemPosition(ui()->gridLayout->indexOf(w), &row, &column, &rowSpan,
                                          &columnSpan);
        return QList<int>{row, column, rowSpan, columnSpan};
    };
    QCOMPARE(cell(ui()->btn_choose_source_file), (QList<int>{0, 0, 1, 1}));
    QCOMPARE(cell(ui()->lbl_source_path), (QList<int>{1, 0, 1, 1}));
    QCOMPARE(cell(ui()->btn_choose_output_dir), (QList<int>{2, 0, 1, 1}));
    QCOMPARE(cell(ui()->lbl_output_dir), (QList<int>{3, 0, 1, 1}));
    QCOMPARE(cell(ui()->btn_encrypt), (QList<int>{4, 2, 1, 1}));
}

void TestDialogEncrypt::choosersAskAsTheUserExpects()
{
    choose(m_dir.filePath("KT62_01.bin"), m_dir.path());
    QCOMPARE(m_prompts->files.size(), 2);
    const FilePrompt source = m_prompts->files[0];
    QCOMPARE(source.kind, FilePrompt::OpenFile);
    QCOMPARE(source.parent, nullptr);
    QCOMPARE(source.caption, QStringLiteral("选择固件"));
    QCOMPARE(source.dir, QStringLiteral("."));
    QCOMPARE(source.filter, QStringLiteral("*.bin"));
    const FilePrompt dir = m_prompts->files[1];
    QCOMPARE(dir.kind, FilePrompt::ExistingDirectory);
    QCOMPARE(dir.parent, m_dialog.get());
    QCOMPARE(dir.caption, QStringLiteral("选择文件夹"));
    QCOMPARE(dir.dir, QStringLiteral("/"));
    QCOMPARE(dir.options, QFileDialog::Options(QFileDialog::ShowDirsOnly));
    QCOMPARE(ui()->lbl_source_path->text(), m_dir.filePath("KT62_01.bin"));
    QCOMPARE(ui()->lbl_output_dir->text(), m_dir.path());
}

void TestDialogEncrypt::cancelledChoiceClearsEarlierOne()
{
    QVERIFY(write_file(m_dir.filePath("KT62_01.bin"), "abcd"));
    choose(m_dir.filePath("KT62_01.bin"), m_dir.path());
    ui()->btn_choose_source_file->click(); // no answer queued: cancelled
    QCOMPARE(ui()->lbl_source_path->text(), QString());
    ui()->btn_encrypt->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("请先选择源文件！")});
    QCOMPARE(visibleFiles(), QStringList{QStringLiteral("KT62_01.bin")});
}

void TestDialogEncrypt::refusals_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("debug");
    QTest::addColumn<bool>("critical");
    const QString out = QStringLiteral("out");
    QTest::newRow("nothing chosen") << ""
                                    << ""
                                    << "请先选择源文件！"
                                    << "source file not selected!" << false;
    QTest::newRow("only a directory") << "" << out << "请先选择源文件！"
                                      << "source file not selected!" << false;
    // The marker in a directory name is refused before the missing output
    // directory is noticed.
    QTest::newRow("marker in directory") << "fw_V/KT62_01.bin"
                                         << ""
                                         << "源文件名不正确！"
                                         << "" << false;
    QTest::newRow("marker in name") << "KT62_V01.bin" << out << "源文件名不正确！"
                                    << "" << false;
    QTest::newRow("no directory") << "KT62_01.bin"
                                  << ""
                                  << "请选择输出目录！"
                                  << "output path not selected!" << false;
    QTest::newRow("no underscore")
        << "firmware.bin" << out << "加密中止！源文件名不正确，必须包含下划线符号_"
        << "" << true;
    QTest::newRow("underscore only in directory")
        << "my_fw/firmware.bin" << out << "加密中止！源文件名不正确，必须包含下划线符号_"
        << "" << true;
}

void TestDialogEncrypt::refusals()
{
    QFETCH(QString, source);
    QFETCH(QString, dir);
    QFETCH(QString, text);
    QFETCH(QString, debug);
    QFETCH(bool, critical);
    const QString src = source.isEmpty() ? QString() : m_dir.filePath(source);
    const QString out = dir.isEmpty() ? QString() : m_dir.filePath(dir);
    QDir(m_dir.path()).mkpath(QStringLiteral("out"));
    if (!src.isEmpty()) {
        QDir().mkpath(QFileInfo(src).path());
        QVERIFY(write_file(src, "abcd"));
    }
    choose(src, out);

    LogCapture log;
    ui()->btn_encrypt->click();
    QCOMPARE(m_prompts->messages.size(), 1);
    const MessagePrompt box = m_prompts->messages.first();
    QCOMPARE(box.text, text);
    QCOMPARE(box.parent, nullptr);
    QCOMPARE(box.title, QString());
    if (critical) {
        QCOMPARE(box.kind, MessagePrompt::Critical);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
        QCOMPARE(box.default_button, QMessageBox::Yes);
    } else {
        QCOMPARE(box.kind, MessagePrompt::Information);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    QCOMPARE(log.lines(), debug.isEmpty() ? QStringList() : QStringList{debug});
    QCOMPARE(QDir(m_dir.filePath("out")).entryList(QDir::Files), QStringList());
}

void TestDialogEncrypt::outputPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("dirSuffix");
    QTest::addColumn<QString>("expected");
    QTest::newRow("canonical") << "KT62_01.02.03.04.bin"
                               << ""
                               << "KT62_V01.02.03.04.bin";
    QTest::newRow("trailing slash") << "KT62_01.02.03.04.bin"
                                    << "/"
                                    << "KT62_V01.02.03.04.bin";
    QTest::newRow("every underscore") << "a_b_c.bin"
                                      << ""
                                      << "a_Vb_Vc.bin";
}

void TestDialogEncrypt::outputPath()
{
    QFETCH(QString, name);
    QFETCH(QString, dirSuffix);
    QFETCH(QString, expected);
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("src")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("out")));
    QVERIFY(write_file(m_dir.filePath("src/" + name), "abcd"));
    choose(m_dir.filePath("src/" + name), m_dir.filePath("out") + dirSuffix);

    LogCapture log;
    ui()->btn_encrypt->click();
    const QString output = m_dir.filePath("out/" + expected);
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("加密完成!")});
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("output firmware: \"%1\"").arg(output),
                                       QStringLiteral("encrypt checksum is: 394")}));
    QCOMPARE(read_file(output).toHex(), QByteArray("8a01000061626364"));
}

void TestDialogEncrypt::failures_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("createSource");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("debug");
    QTest::newRow("source missing") << 10 << false << "out"
                                    << "firmware file_in open failed!";
    QTest::newRow("source too large") << ENCRYPT_BUFFER_SIZE + 1 << true << "out"
                                      << "plain firmware too large: 5242881 bytes, at most 5242880";
    QTest::newRow("output directory missing") << 10 << true << "gone"
                                              << "firmware file_out open failed!";
}

void TestDialogEncrypt::failures()
{
    QFETCH(int, size);
    QFETCH(bool, createSource);
    QFETCH(QString, dir);
    QFETCH(QString, debug);
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("out")));
    const QString source = m_dir.filePath("KT62_01.bin");
    if (createSource) {
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
    }
    choose(source, m_dir.filePath(dir));
    const QStringList before = visibleFiles();

    LogCapture log;
    ui()->btn_encrypt->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("加密失败!")});
    QCOMPARE(log.lines().size(), 2);
    QCOMPARE(log.lines().first(),
             QStringLiteral("output firmware: \"%1\"").arg(m_dir.filePath(dir + "/KT62_V01.bin")));
    QCOMPARE(log.lines().last(), debug);
    QCOMPARE(visibleFiles(), before);
    QCOMPARE(QDir(m_dir.filePath("out")).entryList(QDir::Files), QStringList());
}

QTEST_MAIN(TestDialogEncrypt)
#include "tst_dialogencrypt.moc"
