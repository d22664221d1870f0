#include "dialogupgrade.h"
#include "fakedevice.h"
#include "gpi.h"
#include "logcapture.h"
#include "promptrecorder.h"
#include "ui_dialogupgrade.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
// A whole run: the first query goes out a second after the start, the
// transfer is quick; the machine may be loaded.
constexpr int RUN_TIMEOUT_MS = 20000;

// What went to the serial port, as the channel traced it.
QStringList sentLines(const LogCapture &log)
{
    return log.lines().filter(QRegularExpression(QStringLiteral("^sending:")));
}

bool sentAnything(const LogCapture &log)
{
    return !sentLines(log).isEmpty();
}

bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
} // namespace

class TestDialogUpgrade : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void form();
    void firstOpening();
    void portClosedRefusal_data();
    void portClosedRefusal();
    void noFirmwareRefusal();
    void chooseFirmware_data();
    void chooseFirmware();
    void wrongNameKeepsEarlierChoice();
    void unreadableChoiceDropsEarlierOne();
    void chooseWhileRunningRefused();
    void wholeUpgrade_data();
    void wholeUpgrade();
    void versionCheck();
    void cancelClosesDialog_data();
    void cancelClosesDialog();
    void closeAndReopenResets();
    void statusLine_data();
    void statusLine();
    void standardBoxesAndChooser();

private:
    Ui::DialogUpgrade *ui() const { return m_dialog->ui; }
    Upgrader &engine() const { return m_dialog->m_upgrader; }
    QString fw(const QString &name) const { return m_dir.filePath(name); }
    // Chooses path through the dialog's button.
    void choose(const QString &path)
    {
        m_prompts->answers = QStringList{path};
        ui()->btn_choose_firmware->click();
    }
    // Every text the status line takes while the engine reports.
    void recordStatusLine();
    bool openPort() { return (g_gpi.openSerialPort(m_device->slavePath()), g_gpi.isOpen()); }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeDevice> m_device;
    std::unique_ptr<PromptRecorder> m_prompts;
    std::unique_ptr<DialogUpgrade> m_dialog;
    QStringList m_status;
};

void TestDialogUpgrade::init()
{
    m_device = std::make_unique<FakeDevice>();
    QVERIFY(m_device->isValid());
    m_prompts = std::make_unique<PromptRecorder>();
    m_dialog = std::make_unique<DialogUpgrade>();
    m_dialog->show();
    m_status.clear();
    QVERIFY(write_file(fw("KT62_V01.02.03.04.bin"), QByteArray(3000, 'x')));
}

void TestDialogUpgrade::cleanup()
{
    g_gpi.closeSerialPort();
    m_dialog.reset();
    m_prompts.reset();
    m_device.reset();
    g_firmware_file.clear();
}

void TestDialogUpgrade::recordStatusLine()
{
    // Connected after the dialog's own slots, so the label is already set.
    const auto record = [this] { m_status << ui()->lbl_upgrade_info->text(); };
    connect(&engine(), &Upgrader::upgrade_info, this, record);
    connect(&engine(), &Upgrader::upgrade_progress, this, record);
}

void TestDialogUpgrade::form()
{
    QCOMPARE(m_dialog->objectName(), QStringLiteral("DialogUpgrade"));
    QCOMPARE(m_dialog->minimumSize(), QSize(500, 300));
    QCOMPARE(m_dialog->maximumSize(), QSize(500, 300));
    QVERIFY(!m_dialog->isModal());
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Firmware Upgrade"));

    const auto cell = [](QGridLayout *grid, QLayoutItem *item) {
        int r = -1, c = -1, rs = 0, cs = 0;
        for (int i = 0; i < grid->count(); ++i) {
            if (grid->itemAt(i) == item) {
                grid->getItemPosition(i, &r, &c, &rs, &cs);
            }
        }
        return QList<int>{r, c, rs, cs};
    };
    QGridLayout *outer = ui()->gridLayout_2;
    QGridLayout *inner = ui()->gridLayout;
    QCOMPARE(m_dialog->layout(), outer);
    QCOMPARE(cell(outer, inner), (QList<int>{0, 1, 1, 6}));
    const auto widgetCell = [&](QGridLayout *grid, QWidget *w) {
        return cell(grid, grid->itemAt(grid->indexOf(w)));
    };
    QCOMPARE(widgetCell(outer, ui()->btn_choose_firmware), (QList<int>{1, 2, 1, 1}));
    QCOMPARE(widgetCell(outer, ui()->btn_begin_upgrade), (QList<int>{1, 4, 1, 1}));
    QCOMPARE(widgetCell(outer, ui()->btn_begin_checkversion), (QList<int>{1, 5, 1, 1}));
    QCOMPARE(widgetCell(inner, ui()->lbl_deivce_model), (QList<int>{0, 0, 1, 2}));
    QCOMPARE(widgetCell(inner, ui()->lbl_device_firmware), (QList<int>{1, 0, 1, 2}));
    QCOMPARE(widgetCell(inner, ui()->lbl_target_firmware), (QList<int>{2, 0, 1, 2}));
    QCOMPARE(widgetCell(inner, ui()->label), (QList<int>{3, 0, 1, 1}));
    QCOMPARE(widgetCell(inner, ui()->lbl_upgrade_info), (QList<int>{3, 1, 1, 1}));
    QCOMPARE(ui()->label->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui()->label->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);

    // Tab runs from the choose button to the check button, then the upgrade
    // button, whatever their places in the row.
    QList<QWidget *> tabOrder;
    for (QWidget *w = m_dialog->nextInFocusChain(); w != m_dialog.get();
         w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            tabOrder << w;
        }
    }
    QCOMPARE(tabOrder, (QList<QWidget *>{ui()->btn_choose_firmware, ui()->btn_begin_checkversion,
                                         ui()->btn_begin_upgrade}));
}

void TestDialogUpgrade::firstOpening()
{
    QCOMPARE(ui()->lbl_upgrade_info->text(), QString());
    QCOMPARE(ui()->label->text(), QStringLiteral("Upgrade Status:"));
    QCOMPARE(ui()->lbl_deivce_model->text(), QStringLiteral("Device Model: Unknown"));
    QCOMPARE(ui()->lbl_device_firmware->text(), QStringLiteral("Current Version: Unknown"));
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version: Unknown"));
    QCOMPARE(ui()->btn_choose_firmware->text(), QStringLiteral("Choose Firmware"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("CheckVersion"));
}

void TestDialogUpgrade::portClosedRefusal_data()
{
    QTest::addColumn<bool>("checkButton");
    QTest::addColumn<bool>("running");
    QTest::newRow("upgrade, idle") << false << false;
    QTest::newRow("check, idle") << true << false;
    QTest::newRow("upgrade, running") << false << true;
    QTest::newRow("check, running") << true << true;
}

void TestDialogUpgrade::portClosedRefusal()
{
    QFETCH(bool, checkButton);
    QFETCH(bool, running);
    m_device->script.answer_query = false;
    choose(fw("KT62_V01.02.03.04.bin"));
    if (running) {
        QVERIFY(openPort());
        ui()->btn_begin_checkversion->click();
        g_gpi.closeSerialPort();
    }
    m_device->clearSeen();
    (checkButton ? ui()->btn_begin_checkversion : ui()->btn_begin_upgrade)->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Serial Port is not opened!")});
    const MessagePrompt box = m_prompts->messages.first();
    QCOMPARE(box.kind, MessagePrompt::Information);
    QCOMPARE(box.parent, nullptr);
    QCOMPARE(box.title, QString());
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.default_button, QMessageBox::NoButton);
    QCOMPARE(engine().m_running, running);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(g_firmware_file, fw("KT62_V01.02.03.04.bin"));
    QVERIFY(m_device->seen().bytes.isEmpty());
}

void TestDialogUpgrade::noFirmwareRefusal()
{
    QVERIFY(openPort());
    LogCapture log;
    ui()->btn_begin_upgrade->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Please choose firmware!")});
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QVERIFY(!engine().m_running);
    QVERIFY(!engine().m_query_timer->isActive());
    QVERIFY(!sentAnything(log));
}

void TestDialogUpgrade::chooseFirmware_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("chosen");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("target");
    const QString unknownModel = QStringLiteral("Device Model: Unknown");
    const QString unknownTarget = QStringLiteral("Upgrade Version: Unknown");
    const QByteArray image(10, 'y');
    QTest::newRow("cancelled") << "" << image << "" << false << unknownModel << unknownTarget;
    QTest::newRow("canonical") << "KT62_V01.02.03.04.bin" << image << "" << true
                               << "Device Model:KT62"
                               << "Upgrade Version:01.02.03.04";
    QTest::newRow("short version")
        << "KT62_V2.06.bin" << image << "" << true << "Device Model:KT62" << unknownTarget;
    QTest::newRow("marker only in directory")
        << "fw_V/any.bin" << image << "" << true << unknownModel << unknownTarget;
    QTest::newRow("lower-case marker") << "fw/any_v1.bin" << image << "Firmware name is not right!"
                                       << false << unknownModel << unknownTarget;
    QTest::newRow("missing file") << "KT62_V09.09.09.09.bin" << QByteArray()
                                  << "Firmware file cannot be read!" << false << unknownModel
                                  << unknownTarget;
    QTest::newRow("empty file") << "KT62_V01.02.03.04.bin" << QByteArray("")
                                << "Firmware file cannot be read!" << false << "Device Model:KT62"
                                << "Upgrade Version:01.02.03.04";
}

void TestDialogUpgrade::chooseFirmware()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(QString, message);
    QFETCH(bool, chosen);
    QFETCH(QString, model);
    QFETCH(QString, target);
    const QString path = name.isEmpty() ? QString() : fw(name);
    if (!path.isEmpty() && !contents.isNull()) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(write_file(path, contents));
    }
    LogCapture log;
    choose(path);

    QCOMPARE(m_prompts->files.size(), 1);
    const FilePrompt chooser = m_prompts->files.first();
    QCOMPARE(chooser.kind, FilePrompt::OpenFile);
    QCOMPARE(chooser.parent, nullptr);
    QCOMPARE(chooser.caption, QStringLiteral("Choose Firmware"));
    QCOMPARE(chooser.dir, QStringLiteral("."));
    QCOMPARE(chooser.filter, QStringLiteral("*.bin"));
    QCOMPARE(chooser.options, QFileDialog::Options());

    QCOMPARE(m_prompts->texts(), message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(g_firmware_file, chosen ? path : QString());
    QCOMPARE(ui()->lbl_deivce_model->text(), model);
    QCOMPARE(ui()->lbl_target_firmware->text(), target);
    QCOMPARE(log.contains(QStringLiteral("Select firmware ") + path),
             !path.isEmpty() && path.contains(QStringLiteral("_V")));
}

void TestDialogUpgrade::wrongNameKeepsEarlierChoice()
{
    choose(fw("KT62_V01.02.03.04.bin"));
    choose(fw("other.bin"));
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Firmware name is not right!")});
    QCOMPARE(g_firmware_file, fw("KT62_V01.02.03.04.bin"));
    QCOMPARE(engine().m_packet_count, quint16(3));
}

void TestDialogUpgrade::unreadableChoiceDropsEarlierOne()
{
    // The earlier table is gone once a load was tried, so an upgrade must
    // not start with it.
    QVERIFY(openPort());
    choose(fw("KT62_V01.02.03.04.bin"));
    choose(fw("KT62_V05.05.05.05.bin"));
    LogCapture log;
    ui()->btn_begin_upgrade->click();
    QCOMPARE(m_prompts->texts(), (QStringList{QStringLiteral("Firmware file cannot be read!"),
                                              QStringLiteral("Please choose firmware!")}));
    QVERIFY(!engine().m_running);
    QVERIFY(!sentAnything(log));
}

void TestDialogUpgrade::chooseWhileRunningRefused()
{
    m_device->script.answer_query = false;
    QVERIFY(openPort());
    choose(fw("KT62_V01.02.03.04.bin"));
    ui()->btn_begin_upgrade->click();
    QVERIFY(engine().m_running);
    QVERIFY(write_file(fw("KT62_V02.02.02.02.bin"), QByteArray(5000, 'z')));
    choose(fw("KT62_V02.02.02.02.bin"));
    QCOMPARE(m_prompts->texts(),
             QStringList{QStringLiteral("Please stop the running operation first!")});
    QCOMPARE(m_prompts->files.size(), 1); // no chooser the second time
    QCOMPARE(g_firmware_file, fw("KT62_V01.02.03.04.bin"));
    QCOMPARE(engine().m_packet_count, quint16(3));
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version:01.02.03.04"));
    QVERIFY(engine().m_running);
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Cancel"));
}

void TestDialogUpgrade::wholeUpgrade_data()
{
    QTest::addColumn<quint8>("result");
    QTest::addColumn<QString>("last");
    QTest::newRow("success") << quint8(0x00) << "Upgrade finished!";
    QTest::newRow("failure") << quint8(0x01) << "Upgrade faild!";
}

void TestDialogUpgrade::wholeUpgrade()
{
    QFETCH(quint8, result);
    QFETCH(QString, last);
    m_device->script.result = result;
    QVERIFY(openPort());
    choose(fw("KT62_V01.02.03.04.bin"));
    recordStatusLine();
    QSignalSpy finished(&engine(), &Upgrader::upgrade_finished);

    ui()->btn_begin_upgrade->click();
    QCOMPARE(ui()->lbl_upgrade_info->text(), QStringLiteral("Checking device information"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Cancel"));
    QCOMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("CheckVersion"));
    QVERIFY(finished.wait(RUN_TIMEOUT_MS));

    QCOMPARE(m_status,
             (QStringList{"Erasing Chip...", "Erase finished, begin upgrade...", "Upgrading 33%",
                          "Upgrading 66%", "Upgrading 100%", "Waitting for completion...", last}));
    QCOMPARE(ui()->lbl_upgrade_info->text(), last);
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(ui()->lbl_device_firmware->text(), QStringLiteral("Current Version:01.00.00.00"));
    QVERIFY(!engine().m_running);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(m_device->seen().announced_size, 3000u);
    QCOMPARE(m_device->seen().image, QByteArray(3000, 'x') + QByteArray(72, '\x1a'));
    QVERIFY(m_prompts->messages.isEmpty());
}

void TestDialogUpgrade::versionCheck()
{
    m_device->script.info = "KT62_V02.03.04.05";
    QVERIFY(openPort());
    recordStatusLine();
    QSignalSpy cancel(m_device.get(), &FakeDevice::cancelReceived);

    ui()->btn_begin_checkversion->click();
    QCOMPARE(ui()->lbl_upgrade_info->text(), QStringLiteral("Checking device information"));
    QCOMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("Cancel"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QVERIFY(cancel.wait(RUN_TIMEOUT_MS));
    QTRY_COMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("CheckVersion"));

    QVERIFY(!engine().m_running);
    QCOMPARE(m_status, (QStringList{"Checking Version...", "CheckVersion Finish!"}));
    // No firmware was chosen, so the model is empty; the version is the
    // device's.
    QCOMPARE(ui()->lbl_deivce_model->text(), QStringLiteral("Device Model:"));
    QCOMPARE(ui()->lbl_device_firmware->text(), QStringLiteral("Current Version:02.03.04.05"));
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version: Unknown"));
    QVERIFY(m_prompts->messages.isEmpty());
}

void TestDialogUpgrade::cancelClosesDialog_data()
{
    QTest::addColumn<bool>("startWithCheck");
    QTest::addColumn<bool>("cancelWithCheck");
    QTest::newRow("upgrade, cancelled by upgrade") << false << false;
    QTest::newRow("upgrade, cancelled by check") << false << true;
    QTest::newRow("check, cancelled by check") << true << true;
    QTest::newRow("check, cancelled by upgrade") << true << false;
}

void TestDialogUpgrade::cancelClosesDialog()
{
    QFETCH(bool, startWithCheck);
    QFETCH(bool, cancelWithCheck);
    m_device->script.answer_query = false;
    QVERIFY(openPort());
    QPushButton *check = ui()->btn_begin_checkversion;
    QPushButton *upgrade = ui()->btn_begin_upgrade;
    m_dialog->hide();

    // The dialog runs modally as in the program; the clicks come from
    // inside its loop.
    QTimer::singleShot(0, this, [&] {
        choose(fw("KT62_V01.02.03.04.bin"));
        (startWithCheck ? check : upgrade)->click();
        QCOMPARE((startWithCheck ? check : upgrade)->text(), QStringLiteral("Cancel"));
        QCOMPARE((startWithCheck ? upgrade : check)->text(),
                 startWithCheck ? QStringLiteral("Upgrade") : QStringLiteral("CheckVersion"));
        (cancelWithCheck ? check : upgrade)->click();
    });
    LogCapture log;
    QCOMPARE(m_dialog->exec(), int(QDialog::Rejected));
    QCOMPARE(m_prompts->messages.size(), 0);

    QVERIFY(!m_dialog->isVisible());
    QVERIFY(!engine().m_running);
    QCOMPARE(g_firmware_file, QString());
    QCOMPARE(ui()->lbl_upgrade_info->text(), QString());
    QCOMPARE(upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(check->text(), QStringLiteral("CheckVersion"));
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version: Unknown"));
    // The start sequence went out, and the query timer is stopped so that
    // nothing follows it.
    QCOMPARE(sentLines(log), QStringList{QStringLiteral("sending: \"24000799000023\"")});
    QVERIFY(!engine().m_query_timer->isActive());
}

void TestDialogUpgrade::closeAndReopenResets()
{
    // Closed with the window's button during a run: the run goes on behind
    // the hidden dialog, the next opening starts from a clean display, and
    // either button then cancels.
    m_device->script.answer_query = false;
    QVERIFY(openPort());
    choose(fw("KT62_V01.02.03.04.bin"));
    ui()->btn_begin_upgrade->click();
    m_dialog->close();
    QVERIFY(engine().m_running);
    emit engine().upgrade_progress(42);
    QCOMPARE(ui()->lbl_upgrade_info->text(), QStringLiteral("Upgrading 42%"));

    m_dialog->show();
    QCOMPARE(ui()->lbl_upgrade_info->text(), QString());
    QCOMPARE(ui()->lbl_deivce_model->text(), QStringLiteral("Device Model: Unknown"));
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version: Unknown"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(g_firmware_file, QString());
    QVERIFY(engine().m_running);
    ui()->btn_begin_checkversion->click();
    QVERIFY(!engine().m_running);
    QVERIFY(!m_dialog->isVisible());

    // Idle now: a firmware from the earlier opening does not count.
    m_dialog->show();
    choose(fw("KT62_V01.02.03.04.bin"));
    m_dialog->close();
    m_dialog->show();
    ui()->btn_begin_upgrade->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Please choose firmware!")});
}

void TestDialogUpgrade::statusLine_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("shown");
    QTest::newRow("42") << 42 << ""
                        << "Upgrading 42%";
    QTest::newRow("0") << 0 << ""
                       << "Upgrading 0%";
    QTest::newRow("100") << 100 << ""
                         << "Upgrading 100%";
    QTest::newRow("engine text") << -1 << "Erasing Chip..."
                                 << "Erasing Chip...";
    QTest::newRow("cleared") << -1 << ""
                             << "";
}

void TestDialogUpgrade::statusLine()
{
    QFETCH(int, percent);
    QFETCH(QString, info);
    QFETCH(QString, shown);
    ui()->lbl_upgrade_info->setText(QStringLiteral("before"));
    if (percent >= 0) {
        emit engine().upgrade_progress(percent);
    } else {
        emit engine().upgrade_info(info);
    }
    QCOMPARE(ui()->lbl_upgrade_info->text(), shown);
}

void TestDialogUpgrade::standardBoxesAndChooser()
{
    // Without a responder the toolkit's own boxes come up, with no parent,
    // an empty title and the one Ok button.
    m_prompts.reset();
    QString text, title;
    QMessageBox::StandardButtons buttons;
    bool parentless = false;
    QTimer::singleShot(0, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        text = box->text();
        title = box->windowTitle();
        buttons = box->standardButtons();
        parentless = box->parentWidget() == nullptr;
        box->accept();
    });
    ui()->btn_begin_upgrade->click();
    QCOMPARE(text, QStringLiteral("Serial Port is not opened!"));
    QCOMPARE(title, QString());
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(parentless);

    QStringList filters;
    QString caption;
    QTimer::singleShot(0, this, [&] {
        auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(chooser);
        filters = chooser->nameFilters();
        caption = chooser->windowTitle();
        chooser->reject();
    });
    ui()->btn_choose_firmware->click();
    QCOMPARE(caption, QStringLiteral("Choose Firmware"));
    QCOMPARE(filters, QStringList{QStringLiteral("*.bin")});
    QCOMPARE(g_firmware_file, QString());
}

QTEST_MAIN(TestDialogUpgrade)
#include "tst_dialogupgrade.moc"
