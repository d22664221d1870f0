#include "firmware/dialogencrypt.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakedevice.h"
#include "tests/support/logcapture.h"
#include "tests/support/promptrecorder.h"
#include "widgets/elidedlabel.h"
#include <QCryptographicHash>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <unistd.h>

namespace {
void click(const DialogEncrypt &dialog, const char *button)
{
    dialog.findChild<QPushButton *>(QLatin1String(button))->click();
}
} // namespace

class TestDialogEncrypt : public QObject
{
    Q_OBJECT
private slots:
    // Refusals touch no file. An encryption marks every "_" of the name with "V" and puts the
    // checksum header in front; the image code warns on standard output about a length that is
    // not a multiple of 4.
    void encrypt_data()
    {
        QTest::addColumn<int>("size");       // of the source, "abcd" repeated; -1: none chosen
        QTest::addColumn<QString>("source"); // its name
        QTest::addColumn<QString>("outDir"); // empty: none chosen
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("said"); // the debug log, then standard output
        QTest::addColumn<QString>("replaced"); // the output: name, size, start of its md5
        const auto refused = [](const char *tag, QString source, QString out, QString box,
                                QStringList said) {
            QTest::newRow(tag) << (source.isEmpty() ? -1 : 4) << source << out << box << said << "";
        };
        const auto done = [](const char *tag, int size, QString source, QString out, int checksum,
                             QString replaced) {
            QStringList said{"output firmware: \"~/out/" + replaced.section(' ', 0, 0) + '"',
                             QString("encrypt checksum is: %1").arg(checksum)};
            QTest::newRow(tag) << size << source << out << "加密完成!"
                               << (size % 4 ? said << "Error: length little 4byte" : said)
                               << replaced;
        };
        refused("no source", "", "", "请先选择源文件！", {"source file not selected!"});
        refused("_V in a folder", "fw_V/KT62_01.bin", "", "源文件名不正确！", {});
        refused("no output folder", "fw.bin", "", "请选择输出目录！",
                {"output path not selected!"});
        refused("_ only in a folder", "my_fw/fw.bin", "out",
                "critical, Yes: 加密中止！源文件名不正确，必须包含下划线符号_", {});
        done("8 bytes", 4, "KT62_01.02.03.04.bin", "out", 394,
             "KT62_V01.02.03.04.bin 8 6778cc567970");
        done("folder with /", 4, "KT62_01.02.03.04.bin", "out/", 394,
             "KT62_V01.02.03.04.bin 8 6778cc567970");
        done("every _ marked", 4, "a_b_c.bin", "out", 394, "a_Vb_Vc.bin 8 6778cc567970");
        done("empty", 0, "KT62_01.bin", "out", 0, "KT62_V01.bin 4 f1d3ff844329");
        done("3 bytes", 3, "KT62_01.bin", "out", 0, "KT62_V01.bin 7 d310a40483f9");
        done("2052 bytes", 2052, "KT62_01.bin", "out", 202238, "KT62_V01.bin 2056 4302f8c55691");
        done("4096 bytes", 4096, "KT62_01.bin", "out", 403688, "KT62_V01.bin 4100 b6176b774c7c");
        done("1027 bytes", 1027, "KT62_01.bin", "out", 100922, "KT62_V01.bin 1031 f2992269a7db");
    }
    void encrypt()
    {
        QFETCH(int, size);
        QFETCH(QString, source);
        QFETCH(QString, outDir);
        QTemporaryDir dir;
        PromptRecorder prompts;
        source = source.isEmpty() ? "" : dir.filePath("src/" + source);
        QVERIFY(size < 0 ||
                write_file(source, QByteArray("abcd").repeated(size / 4 + 1).left(size)));
        const QByteArray earlier(10000, 0); // an earlier output under each name the rows write
        for (const char *name : {"KT62_V01.02.03.04.bin", "KT62_V01.bin", "a_Vb_Vc.bin"}) {
            QVERIFY(write_file(dir.filePath("out/") + name, earlier));
        }
        prompts.answers = QStringList{source, outDir.isEmpty() ? "" : dir.filePath(outDir)};
        DialogEncrypt dialog;
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        LogCapture log;
        QTemporaryFile printed;
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(printed.open() ? printed.handle() : saved, STDOUT_FILENO);
        click(dialog, "btn_encrypt");
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        QTEST(prompts.boxes.join(" | "), "box");
        const QString out = printed.seek(0) ? QString::fromUtf8(printed.readAll()) : "";
        QTEST((log.lines() + out.split('\n', Qt::SkipEmptyParts)).replaceInStrings(dir.path(), "~"),
              "said");
        QStringList replaced;
        for (const QString &name : QDir(dir.filePath("out")).entryList(QDir::Files)) {
            const QByteArray bytes = read_file(dir.filePath("out/" + name));
            const QByteArray md5 = QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
            if (bytes != earlier) {
                replaced << QString("%1 %2 ").arg(name).arg(bytes.size()) + md5.toHex().left(12);
            }
        }
        QTEST(replaced.join(", "), "replaced");
    }
    void choosers()
    {
        PromptRecorder prompts;
        DialogEncrypt dialog;
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        QCOMPARE(prompts.choosers, (QStringList{"file|unparented|选择固件|.|*.bin|0",
                                                "directory|parented|选择文件夹|/||1"}));
    }
    // A path is elided to the label's own width, which spans the window: a short one shows
    // whole, a long one keeps its file name whole and loses folders in the middle, a file name
    // longer than the label loses its own middle. The text and the tooltip are the whole path;
    // the window keeps its size and its buttons their places.
    void paths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("kept"); // the shown text ends so; empty: shown whole
        const QString folders = "/" + QString("very_long_folder_name/").repeated(15);
        QTest::newRow("36 characters") << "/home/operator/fw/KT62_V01.02.03.bin"
                                       << "";
        const QString name = "KT62_release_candidate_build_2024_final_rework_01.bin";
        QTest::newRow("long folders") << folders + name << "_name/" + name;
        QTest::newRow("long file name") << "/fw/KT62_" + QString(200, 'x') + ".bin"
                                        << "x.bin";
    }
    void paths()
    {
        QFETCH(QString, path);
        QFETCH(QString, kept);
        PromptRecorder prompts;
        prompts.answers = QStringList{path, path};
        DialogEncrypt dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const auto places = [&dialog] {
            QList<QRect> places;
            for (const QPushButton *button : dialog.findChildren<QPushButton *>()) {
                places << button->geometry();
            }
            return places;
        };
        const QList<QRect> before = places();
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        QCOMPARE(dialog.size(), QSize(640, 193));
        QTRY_COMPARE(places(), before);
        for (const char *name : {"lbl_source_path", "lbl_output_dir"}) {
            const auto *label = dialog.findChild<ElidedLabel *>(QLatin1String(name));
            const QString shown = label->shown_text();
            QCOMPARE(label->text(), path);
            QCOMPARE(label->toolTip(), path);
            QCOMPARE(shown.contains(QChar(0x2026)), !kept.isEmpty());
            QVERIFY2(shown.endsWith(kept), qPrintable(shown));
            QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
        }
    }
    // A source that fails midway leaves the earlier output as it was.
    void readErrorKeepsOutput()
    {
        QTemporaryDir dir;
        QVERIFY(write_file(dir.filePath("kept.bin"), "earlier"));
        FailingDevice failing;
        LogCapture log;
        QCOMPARE(encrypt_firmware_stream(failing, dir.filePath("kept.bin")).status,
                 EncryptStatus::SourceUnreadable);
        QCOMPARE(log.lines() << read_file(dir.filePath("kept.bin")) << QDir(dir.path()).entryList(),
                 (QStringList{"firmware file_in read failed!", "earlier", ".", "..", "kept.bin"}));
    }
};

QTEST_MAIN(TestDialogEncrypt)
#include "tst_dialogencrypt.moc"
