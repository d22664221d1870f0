#include "dialogencrypt.h"
#include "firmware_image.h"
#include "logcapture.h"
#include "promptrecorder.h"
#include "ui_dialogencrypt.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestDialogEncrypt : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void form();
    void choosersAndCancel();
    void refusals_data();
    void refusals();
    void outputPath_data();
    void outputPath();
    void failures_data();
    void failures();

private:
    Ui::DialogEncrypt *ui() const { return m_dialog->ui; }
    // Chooses a source (written with size bytes unless negative) and an
    // output directory through the dialog's own buttons, then encrypts.
    void run(const QString &source, const QString &dir, qint64 size = 4);
    QStringList outputs() const { return QDir(m_dir.filePath("out")).entryList(QDir::Files); }

    std::unique_ptr<QTemporaryDir> m_tmp;
    QDir m_dir;
    std::unique_ptr<DialogEncrypt> m_dialog;
    std::unique_ptr<PromptRecorder> m_prompts;
    std::unique_ptr<LogCapture> m_log;
};

void TestDialogEncrypt::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    m_dir = QDir(m_tmp->path());
    QVERIFY(m_dir.mkpath(QStringLiteral("out")));
    m_prompts = std::make_unique<PromptRecorder>();
    m_dialog = std::make_unique<DialogEncrypt>();
}

void TestDialogEncrypt::cleanup()
{
    // Each of these restores the previous state, so they go before the next
    // test makes its own.
    m_log.reset();
    m_prompts.reset();
}

void TestDialogEncrypt::run(const QString &source, const QString &dir, qint64 size)
{
    const QString src = source.isEmpty() ? QString() : m_dir.filePath(source);
    if (size >= 0 && !src.isEmpty()) {
        QDir().mkpath(QFileInfo(src).path());
        QFile file(src);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(size == 4 ? file.write("abcd") == 4 : file.resize(size));
    }
    m_prompts->answers = QStringList{src, dir.isEmpty() ? QString() : m_dir.filePath(dir)};
    ui()->btn_choose_source_file->click();
    ui()->btn_choose_output_dir->click();
    m_log.reset(); // one capture at a time
    m_log = std::make_unique<LogCapture>();
    ui()->btn_encrypt->click();
}

void TestDialogEncrypt::form()
{
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("固件加密"));
    QCOMPARE(m_dialog->minimumSize(), QSize(640, 193));
    QCOMPARE(m_dialog->maximumSize(), QSize(640, 193));
    QCOMPARE(ui()->btn_choose_source_file->text() + ui()->lbl_source_path->text() +
                 ui()->btn_choose_output_dir->text() + ui()->lbl_output_dir->text() +
                 ui()->btn_encrypt->text(),
             QStringLiteral("选择源文件未设置选择输出目录未设置加密"));
}

void TestDialogEncrypt::choosersAndCancel()
{
    run("KT62_01.bin", "out");
    QCOMPARE(m_prompts->files.size(), 2);
    const FilePrompt source = m_prompts->files[0];
    QCOMPARE(source.kind, FilePrompt::OpenFile);
    QCOMPARE(source.parent, nullptr);
    QCOMPARE(source.caption + source.dir + source.filter, QStringLiteral("选择固件.*.bin"));
    const FilePrompt dir = m_prompts->files[1];
    QCOMPARE(dir.kind, FilePrompt::ExistingDirectory);
    QCOMPARE(dir.parent, m_dialog.get());
    QCOMPARE(dir.caption + dir.dir, QStringLiteral("选择文件夹/"));
    QCOMPARE(dir.options, QFileDialog::Options(QFileDialog::ShowDirsOnly));
    QCOMPARE(ui()->lbl_source_path->text(), m_dir.filePath("KT62_01.bin"));
    QCOMPARE(ui()->lbl_output_dir->text(), m_dir.filePath("out"));

    // A cancelled chooser clears the earlier choice.
    QVERIFY(QFile::remove(m_dir.filePath("out/KT62_V01.bin")));
    ui()->btn_choose_source_file->click();
    QCOMPARE(ui()->lbl_source_path->text(), QString());
    ui()->btn_encrypt->click();
    QCOMPARE(m_prompts->texts().last(), QStringLiteral("请先选择源文件！"));
    QCOMPARE(outputs(), QStringList());
}

void TestDialogEncrypt::refusals_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("debug");
    const QString noUnderscore = QStringLiteral("加密中止！源文件名不正确，必须包含下划线符号_");
    QTest::newRow("nothing chosen") << ""
                                    << ""
                                    << "请先选择源文件！"
                                    << "source file not selected!";
    QTest::newRow("only a directory") << ""
                                      << "out"
                                      << "请先选择源文件！"
                                      << "source file not selected!";
    // Refused before the missing output directory is noticed.
    QTest::newRow("marker in directory") << "fw_V/KT62_01.bin"
                                         << ""
                                         << "源文件名不正确！"
                                         << "";
    QTest::newRow("marker in name") << "KT62_V01.bin"
                                    << "out"
                                    << "源文件名不正确！"
                                    << "";
    QTest::newRow("no directory") << "KT62_01.bin"
                                  << ""
                                  << "请选择输出目录！"
                                  << "output path not selected!";
    QTest::newRow("no underscore") << "firmware.bin"
                                   << "out" << noUnderscore << "";
    QTest::newRow("underscore in directory only") << "my_fw/fw.bin"
                                                  << "out" << noUnderscore << "";
}

void TestDialogEncrypt::refusals()
{
    QFETCH(QString, source);
    QFETCH(QString, dir);
    QFETCH(QString, text);
    QFETCH(QString, debug);
    run(source, dir);
    QCOMPARE(m_prompts->texts(), QStringList{text});
    const MessagePrompt box = m_prompts->messages.first();
    QCOMPARE(box.parent, nullptr);
    QCOMPARE(box.title, QString());
    const bool critical = text.startsWith(QStringLiteral("加密中止"));
    QCOMPARE(box.kind, critical ? MessagePrompt::Critical : MessagePrompt::Information);
    QCOMPARE(box.buttons,
             QMessageBox::StandardButtons(critical ? QMessageBox::Yes : QMessageBox::Ok));
    QCOMPARE(box.default_button, critical ? QMessageBox::Yes : QMessageBox::NoButton);
    QCOMPARE(m_log->lines(), debug.isEmpty() ? QStringList() : QStringList{debug});
    QCOMPARE(outputs(), QStringList());
}

void TestDialogEncrypt::outputPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("canonical") << "KT62_01.02.03.04.bin"
                               << "out"
                               << "KT62_V01.02.03.04.bin";
    QTest::newRow("trailing slash") << "KT62_01.02.03.04.bin"
                                    << "out/"
                                    << "KT62_V01.02.03.04.bin";
    QTest::newRow("every underscore") << "a_b_c.bin"
                                      << "out"
                                      << "a_Vb_Vc.bin";
}

void TestDialogEncrypt::outputPath()
{
    QFETCH(QString, name);
    QFETCH(QString, dir);
    QFETCH(QString, expected);
    run("src/" + name, dir);
    const QString output = m_dir.filePath("out/" + expected);
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("加密完成!")});
    QCOMPARE(m_log->lines(), (QStringList{QStringLiteral("output firmware: \"%1\"").arg(output),
                                          QStringLiteral("encrypt checksum is: 394")}));
    QFile file(output);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().toHex(), QByteArray("8a01000061626364"));
}

void TestDialogEncrypt::failures_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("debug");
    QTest::newRow("source missing") << qint64(-1) << "out"
                                    << "firmware file_in open failed!";
    QTest::newRow("source too large") << qint64(ENCRYPT_BUFFER_SIZE + 1) << "out"
                                      << "plain firmware too large: 5242881 bytes, at most 5242880";
    QTest::newRow("output directory missing") << qint64(4) << "gone"
                                              << "firmware file_out open failed!";
}

void TestDialogEncrypt::failures()
{
    QFETCH(qint64, size);
    QFETCH(QString, dir);
    QFETCH(QString, debug);
    run("KT62_01.bin", dir, size);
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("加密失败!")});
    const QString output = m_dir.filePath(dir + "/KT62_V01.bin");
    QCOMPARE(m_log->lines(),
             (QStringList{QStringLiteral("output firmware: \"%1\"").arg(output), debug}));
    QCOMPARE(outputs(), QStringList());
    QVERIFY(!m_dir.exists(QStringLiteral("gone")));
}

QTEST_MAIN(TestDialogEncrypt)
#include "tst_dialogencrypt.moc"
