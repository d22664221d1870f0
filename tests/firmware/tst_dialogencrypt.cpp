#include "firmware/dialogencrypt.h"
#include "widgets/elidedlabel.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakedevice.h"
#include "tests/support/logcapture.h"
#include "tests/support/promptrecorder.h"
#include <QCryptographicHash>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <unistd.h>

class TestDialogEncrypt : public QObject
{
    Q_OBJECT
private slots:
    // Each row: the source's size (-1: none; "abcd" repeated) and name, the
    // output directory; expected: the box, debug lines ("~": the temporary
    // directory), standard output, and each earlier output (10,000 bytes)
    // replaced, by its size and digest.
    void encrypt_data()
    {
        QTest::addColumn<QString>("line");
        const QStringList lines = QStringLiteral(R"(
-1 |  |  | 请先选择源文件！ | source file not selected! => -
4 | fw_V/KT62_01.bin |  | 源文件名不正确！ => -
4 | fw.bin |  | 请选择输出目录！ | output path not selected! => -
4 | my_fw/fw.bin | out | critical, Yes: 加密中止！源文件名不正确，必须包含下划线符号_ => -
4 | KT62_01.02.03.04.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.02.03.04.bin" | encrypt checksum is: 394 => KT62_V01.02.03.04.bin 8 bytes md5 6778cc567970
4 | KT62_01.02.03.04.bin | out/ | 加密完成! | output firmware: "~/out/KT62_V01.02.03.04.bin" | encrypt checksum is: 394 => KT62_V01.02.03.04.bin 8 bytes md5 6778cc567970
4 | a_b_c.bin | out | 加密完成! | output firmware: "~/out/a_Vb_Vc.bin" | encrypt checksum is: 394 => a_Vb_Vc.bin 8 bytes md5 6778cc567970
0 | KT62_01.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.bin" | encrypt checksum is: 0 => KT62_V01.bin 4 bytes md5 f1d3ff844329
3 | KT62_01.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.bin" | encrypt checksum is: 0 | Error: length little 4byte => KT62_V01.bin 7 bytes md5 d310a40483f9
2052 | KT62_01.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.bin" | encrypt checksum is: 202238 => KT62_V01.bin 2056 bytes md5 4302f8c55691
4096 | KT62_01.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.bin" | encrypt checksum is: 403688 => KT62_V01.bin 4100 bytes md5 b6176b774c7c
1027 | KT62_01.bin | out | 加密完成! | output firmware: "~/out/KT62_V01.bin" | encrypt checksum is: 100922 | Error: length little 4byte => KT62_V01.bin 1031 bytes md5 f2992269a7db)")
                                      .split('\n', Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            const QStringList in = line.split(" | ");
            QTest::addRow("%s bytes, %s to '%s'", qPrintable(in[0]), qPrintable(in[1]),
                          qPrintable(in[2]))
                << line;
        }
    }
    void encrypt()
    {
        QFETCH(QString, line);
        PromptRecorder prompts;
        QTemporaryDir dir;
        const QStringList in = line.split(" | ");
        const QString source = in[1].isEmpty() ? "" : dir.filePath("src/" + in[1]);
        const int size = in[0].toInt();
        QVERIFY(size < 0 ||
                write_file(source, QByteArray("abcd").repeated(size / 4 + 1).left(size)));
        for (const char *name : {"KT62_V01.02.03.04.bin", "KT62_V01.bin", "a_Vb_Vc.bin"}) {
            QVERIFY(write_file(dir.filePath("out/") + name, QByteArray(10000, 0)));
        }
        prompts.answers = QStringList{source, in[2].isEmpty() ? "" : dir.filePath(in[2])};
        DialogEncrypt dialog;
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        LogCapture log;
        QTemporaryFile printed; // standard output while the button works
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        dup2(printed.open() ? printed.handle() : saved, STDOUT_FILENO);
        click(dialog, "btn_encrypt");
        dup2(saved, STDOUT_FILENO);
        close(saved);
        const QStringList text = QString::fromUtf8(printed.seek(0) ? printed.readAll() : "")
                                     .split('\n', Qt::SkipEmptyParts);
        const QStringList out = in.mid(0, 3) + prompts.boxes + log.lines() + text;
        QStringList replaced;
        for (const QString &name : QDir(dir.filePath("out")).entryList(QDir::Files)) {
            const QByteArray image = read_file(dir.filePath("out/" + name));
            if (image != QByteArray(10000, 0)) {
                replaced << name + QString(" %1 bytes md5 ").arg(image.size()) +
                                QCryptographicHash::hash(image, QCryptographicHash::Md5)
                                    .toHex()
                                    .left(12);
            }
        }
        QCOMPARE(out.join(" | ").replace(dir.path(), "~") + " => " +
                     (replaced.isEmpty() ? "-" : replaced.join(", ")),
                 line);
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
    // A long path is elided in the middle when drawn; the text, the tooltip and
    // the fixed size stay, and no button is pushed out of the window.
    void longPaths()
    {
        const QString path = "/" + QString("very_long_folder_name/").repeated(15) + "KT62_01.bin";
        PromptRecorder prompts;
        prompts.answers = QStringList{path, path};
        DialogEncrypt dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const auto buttons = [&dialog] {
            QList<QRect> places;
            for (const QPushButton *button : dialog.findChildren<QPushButton *>()) {
                places << button->geometry();
            }
            return places;
        };
        const QList<QRect> before = buttons();
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        QCOMPARE(dialog.size(), QSize(640, 193));
        QTRY_COMPARE(buttons(), before); // the layout is where it was
        for (const char *name : {"lbl_source_path", "lbl_output_dir"}) {
            const auto *label = dialog.findChild<ElidedLabel *>(QLatin1String(name));
            QCOMPARE(label->text(), path);
            QCOMPARE(label->toolTip(), path);
            QVERIFY(label->shown_text().contains(QChar(0x2026)));
            QVERIFY(label->fontMetrics().horizontalAdvance(label->shown_text()) <=
                    label->contentsRect().width());
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

private:
    static void click(const DialogEncrypt &dialog, const char *button)
    {
        dialog.findChild<QPushButton *>(QLatin1String(button))->click();
    }
};

QTEST_MAIN(TestDialogEncrypt)
#include "tst_dialogencrypt.moc"
