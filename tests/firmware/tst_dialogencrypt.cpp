// The encrypted image format, and the encryption dialog (F7) that writes it.
#include "firmware/dialogencrypt.h"
#include "firmware/firmware_image.h"
#include "tests/support/fakedevice.h"
#include "tests/support/logcapture.h"
#include "tests/support/promptrecorder.h"
#include "widgets/elidedlabel.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <functional>
#include <unistd.h>

namespace {
const auto bytes = [](const char *text) { return QByteArray::fromHex(text); };
const auto click = [](const QWidget &in, const char *button) {
    in.findChild<QPushButton *>(button)->click();
};
// What work writes to standard output.
QByteArray printed_by(const std::function<void()> &work)
{
    QTemporaryFile printed;
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(printed.open() ? printed.handle() : saved, STDOUT_FILENO);
    work();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return printed.seek(0) ? printed.readAll() : QByteArray();
}
} // namespace

class TestDialogEncrypt : public QObject
{
    Q_OBJECT
private slots:
    // The byte sum of the body as a little-endian header, then the image with the first word of
    // every full 1024-byte block XORed with the key (bytes 17 9f 6b 2d); a last block of 1 to 3
    // bytes is zeroed, with a warning on standard output. Sums by hand: "abcd" adds 394, "abc"
    // 294, and "abcd" XORed ("76fd0849") 452.
    void image_data()
    {
        QTest::addColumn<int>("size"); // of the plain image, "abcd" repeated
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<bool>("warned");
        QTest::newRow("empty") << 0 << bytes("00000000") << false;
        QTest::newRow("3 bytes, zeroed") << 3 << bytes("00000000") << true;
        QTest::newRow("4 bytes: 394") << 4 << bytes("8a010000") << false;
        QTest::newRow("1027 bytes: 452 + 255 * 394") << 1027 << bytes("3a8a0100") << true;
        // A last block of 1023 bytes is not a full one: 452 + 255 * 394 + 255 * 394 + 294.
        QTest::newRow("2047 bytes") << 2047 << bytes("d6130300") << false;
        QTest::newRow("2052 bytes: 2 * (452 + 255 * 394) + 394")
            << 2052 << bytes("fe150300") << false;
    }
    void image()
    {
        QFETCH(int, size);
        QFETCH(QByteArray, header);
        QFETCH(bool, warned);
        QTemporaryDir dir;
        const QByteArray plain = QByteArray("abcd").repeated(size / 4 + 1).left(size);
        QVERIFY(write_file(dir.filePath("plain.bin"), plain));
        QByteArray body = plain;
        for (int at = 0; at + 1024 <= size; at += 1024) {
            body.replace(at, 4, bytes("76fd0849"));
        }
        const int tail = size % 1024;
        if (tail < 4) {
            body.replace(size - tail, tail, QByteArray(tail, 0));
        }
        LogCapture log;
        EncryptResult result;
        const QByteArray printed = printed_by([&] {
            result = encrypt_firmware_file(dir.filePath("plain.bin"), dir.filePath("out.bin"));
        });
        QCOMPARE(result.status, EncryptStatus::Ok);
        QCOMPARE(read_file(dir.filePath("out.bin")), header + body);
        QCOMPARE(printed, QByteArray(warned ? "Error: length little 4byte\n" : ""));
        QByteArray in_memory; // the form other tests build their images with
        QCOMPARE(printed_by([&] { in_memory = encrypt_image(plain); }), printed);
        QCOMPARE(in_memory, header + body);
    }
    // A source that fails midway leaves an earlier output as it was, and nothing beside it.
    void readErrorKeepsOutput()
    {
        QTemporaryDir dir;
        QVERIFY(write_file(dir.filePath("kept.bin"), "earlier"));
        FailingDevice failing;
        LogCapture log;
        QCOMPARE(encrypt_firmware_stream(failing, dir.filePath("kept.bin")).status,
                 EncryptStatus::SourceUnreadable);
        QCOMPARE(read_file(dir.filePath("kept.bin")), QByteArray("earlier"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"kept.bin"});
    }
    // What the dialog refuses before touching a file (its encryptions are tst_bad_input's).
    void dialog_data()
    {
        QTest::addColumn<QString>("source"); // empty: none chosen
        QTest::addColumn<bool>("folder");    // an output folder chosen
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("critical");
        QTest::newRow("no source") << "" << true << "请先选择源文件！" << false;
        QTest::newRow("_V in a folder")
            << "fw_V/KT62_01.02.03.04.bin" << true << "源文件名不正确！" << false;
        QTest::newRow("no output folder")
            << "KT62_01.02.03.04.bin" << false << "请选择输出目录！" << false;
        QTest::newRow("_ only in a folder")
            << "my_fw/fw.bin" << true << "加密中止！源文件名不正确，必须包含下划线符号_" << true;
    }
    void dialog()
    {
        QFETCH(QString, source);
        QFETCH(bool, folder);
        QFETCH(QString, box);
        QFETCH(bool, critical);
        QTemporaryDir dir;
        const QString path = dir.filePath("src/" + (source.isEmpty() ? "none.bin" : source));
        const QString out = dir.filePath("out");
        const QString output = out + "/KT62_V01.02.03.04.bin";
        QVERIFY(write_file(path, "abcd") && write_file(output, "earlier"));
        PromptRecorder prompts;
        prompts.answers = QStringList{source.isEmpty() ? "" : path, folder ? out : ""};
        DialogEncrypt dialog;
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        click(dialog, "btn_encrypt");
        QCOMPARE(prompts.boxes, QStringList{box});
        QCOMPARE(prompts.kinds.first() == MessagePrompt::Critical, critical);
        QCOMPARE(read_file(output), QByteArray("earlier"));
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"KT62_V01.02.03.04.bin"});
    }
    // A path is elided to the label's width, which spans the window: a short one shows whole, a
    // long one keeps its file name whole and loses folders in the middle, a file name longer than
    // the label loses its own middle. Text and tooltip are the whole path; the button keeps its
    // place.
    void paths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("kept"); // the shown text ends so; empty: shown whole
        const QString name = "KT62_release_candidate_build_2024_final_rework_01.bin";
        QTest::newRow("short") << "/home/operator/fw/KT62_V01.02.03.bin"
                               << "";
        QTest::newRow("long folders")
            << "/" + QString("very_long_folder_name/").repeated(15) + name << "_name/" + name;
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
        const QRect button = dialog.findChild<QPushButton *>("btn_encrypt")->geometry();
        click(dialog, "btn_choose_source_file");
        click(dialog, "btn_choose_output_dir");
        QTRY_COMPARE(dialog.findChild<QPushButton *>("btn_encrypt")->geometry(), button);
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
};

QTEST_MAIN(TestDialogEncrypt)
#include "tst_dialogencrypt.moc"
