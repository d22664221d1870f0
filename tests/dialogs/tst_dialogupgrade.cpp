#include "dialogupgrade.h"
#include "fakedevice.h"
#include "gpi.h"
#include "logcapture.h"
#include "promptrecorder.h"
#include "ui_dialogupgrade.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
// The first query goes out a second after the start; the machine may be
// loaded.
constexpr int RUN_TIMEOUT_MS = 20000;
const QString GOOD = QStringLiteral("KT62_V01.02.03.04.bin");

// Whether anything went to the serial port, as the channel traces it.
bool sentAnything(const LogCapture &log)
{
    return !log.lines().filter(QStringLiteral("sending:")).isEmpty();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
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
    void formAndFirstOpening();
    void portClosedRefusal_data();
    void portClosedRefusal();
    void noFirmwareRefusal_data();
    void noFirmwareRefusal();
    void chooseFirmware_data();
    void chooseFirmware();
    void chooseWhileRunningRefused();
    void wholeUpgrade_data();
    void wholeUpgrade();
    void versionCheck();
    void cancelClosesDialog_data();
    void cancelClosesDialog();
    void closeAndReopenResets();
    void standardBoxAndChooser();

private:
    Ui::DialogUpgrade *ui() const { return m_dialog->ui; }
    Upgrader &engine() const { return m_dialog->m_upgrader; }
    QString fw(const QString &name) const { return m_dir->filePath(name); }
    void choose(const QString &name)
    {
        m_prompts->answers = QStringList{name.isEmpty() ? QString() : fw(name)};
        ui()->btn_choose_firmware->click();
    }
    bool openPort() { return (g_gpi.openSerialPort(m_device->slavePath()), g_gpi.isOpen()); }
    QString status() const { return ui()->lbl_upgrade_info->text(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeDevice> m_device;
    std::unique_ptr<PromptRecorder> m_prompts;
    std::unique_ptr<DialogUpgrade> m_dialog;
};

void TestDialogUpgrade::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(writeFile(fw(GOOD), QByteArray(3000, 'x')));
    m_device = std::make_unique<FakeDevice>();
    QVERIFY(m_device->isValid());
    m_prompts = std::make_unique<PromptRecorder>();
    m_dialog = std::make_unique<DialogUpgrade>();
    m_dialog->show();
}

void TestDialogUpgrade::cleanup()
{
    g_gpi.closeSerialPort();
    m_dialog.reset();
    m_prompts.reset();
    m_device.reset();
    g_firmware_file.clear();
}

void TestDialogUpgrade::formAndFirstOpening()
{
    QCOMPARE(m_dialog->minimumSize(), QSize(500, 300));
    QCOMPARE(m_dialog->maximumSize(), QSize(500, 300));
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Firmware Upgrade"));
    // The status line is empty on the first opening, never the placeholder.
    QStringList texts;
    for (QWidget *w : QList<QWidget *>{ui()->btn_choose_firmware, ui()->btn_begin_upgrade,
                                       ui()->btn_begin_checkversion, ui()->lbl_deivce_model,
                                       ui()->lbl_device_firmware, ui()->lbl_target_firmware,
                                       ui()->label, ui()->lbl_upgrade_info}) {
        texts << w->property("text").toString();
    }
    QCOMPARE(texts, (QStringList{"Choose Firmware", "Upgrade", "CheckVersion",
                                 "Device Model: Unknown", "Current Version: Unknown",
                                 "Upgrade Version: Unknown", "Upgrade Status:", ""}));
    // Tab goes from the choose button to the check button, then upgrade.
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
    choose(GOOD);
    if (running) {
        QVERIFY(openPort());
        ui()->btn_begin_checkversion->click();
        g_gpi.closeSerialPort();
    }
    (checkButton ? ui()->btn_begin_checkversion : ui()->btn_begin_upgrade)->click();
    // The refusal comes first, so a run cannot even be cancelled.
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Serial Port is not opened!")});
    const MessagePrompt box = m_prompts->messages.first();
    QCOMPARE(box.kind, MessagePrompt::Information);
    QVERIFY(box.parent == nullptr && box.title.isEmpty());
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.default_button, QMessageBox::NoButton);
    QCOMPARE(engine().m_running, running);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(g_firmware_file, fw(GOOD));
}

void TestDialogUpgrade::noFirmwareRefusal_data()
{
    QTest::addColumn<QStringList>("choices");
    QTest::addColumn<QStringList>("messages");
    const QString please = QStringLiteral("Please choose firmware!");
    const QString unreadable = QStringLiteral("Firmware file cannot be read!");
    QTest::newRow("nothing chosen") << QStringList() << QStringList{please};
    // The good file's table is gone once another load was tried.
    QTest::newRow("unreadable after good")
        << QStringList{GOOD, "KT62_V05.05.05.05.bin"} << QStringList{unreadable, please};
    QTest::newRow("empty file") << QStringList{"KT62_V00.00.00.00.bin"}
                                << QStringList{unreadable, please};
}

void TestDialogUpgrade::noFirmwareRefusal()
{
    QFETCH(QStringList, choices);
    QFETCH(QStringList, messages);
    QVERIFY(writeFile(fw("KT62_V00.00.00.00.bin"), QByteArray()));
    QVERIFY(openPort());
    for (const QString &name : choices) {
        choose(name);
    }
    LogCapture log;
    ui()->btn_begin_upgrade->click();
    QCOMPARE(m_prompts->texts(), messages);
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QVERIFY(!engine().m_running);
    QVERIFY(!sentAnything(log));
}

void TestDialogUpgrade::chooseFirmware_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("labels"); // model and target version labels
    const QString unknown = QStringLiteral("Device Model: Unknown|Upgrade Version: Unknown");
    const QString good = QStringLiteral("Device Model:KT62|Upgrade Version:01.02.03.04");
    QTest::newRow("cancelled") << QStringList{""} << ""
                               << "" << unknown;
    QTest::newRow("canonical") << QStringList{GOOD} << "" << GOOD << good;
    QTest::newRow("short version") << QStringList{"KT62_V2.06.bin"} << ""
                                   << "KT62_V2.06.bin"
                                   << "Device Model:KT62|Upgrade Version: Unknown";
    QTest::newRow("marker only in directory") << QStringList{"fw_V/any.bin"} << ""
                                              << "fw_V/any.bin" << unknown;
    QTest::newRow("lower-case marker")
        << QStringList{"fw/any_v1.bin"} << "Firmware name is not right!"
        << "" << unknown;
    QTest::newRow("wrong name keeps good one")
        << QStringList{GOOD, "other.bin"} << "Firmware name is not right!" << GOOD << good;
    QTest::newRow("missing file") << QStringList{"KT62_V09.09.09.09.bin"}
                                  << "Firmware file cannot be read!"
                                  << "" << unknown;
}

void TestDialogUpgrade::chooseFirmware()
{
    QFETCH(QStringList, names);
    QFETCH(QString, message);
    QFETCH(QString, chosen);
    QFETCH(QString, labels);
    for (const QString &name : {"KT62_V2.06.bin", "fw_V/any.bin", "fw/any_v1.bin"}) {
        QVERIFY(writeFile(fw(name), "firmware"));
    }
    LogCapture log;
    for (const QString &name : names) {
        choose(name);
    }
    const FilePrompt chooser = m_prompts->files.last();
    QCOMPARE(chooser.kind, FilePrompt::OpenFile);
    QCOMPARE(chooser.parent, nullptr);
    QCOMPARE(chooser.caption + chooser.dir + chooser.filter,
             QStringLiteral("Choose Firmware.*.bin"));
    QCOMPARE(chooser.options, QFileDialog::Options());
    QCOMPARE(m_prompts->texts(), message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(g_firmware_file, chosen.isEmpty() ? QString() : fw(chosen));
    QCOMPARE(ui()->lbl_deivce_model->text() + "|" + ui()->lbl_target_firmware->text(), labels);
    if (!chosen.isEmpty()) {
        QVERIFY(log.contains("Select firmware " + fw(chosen)));
    }
}

void TestDialogUpgrade::chooseWhileRunningRefused()
{
    m_device->script.answer_query = false;
    QVERIFY(openPort());
    choose(GOOD);
    ui()->btn_begin_upgrade->click();
    QVERIFY(writeFile(fw("KT62_V02.02.02.02.bin"), QByteArray(5000, 'z')));
    choose("KT62_V02.02.02.02.bin");
    QCOMPARE(m_prompts->texts(),
             QStringList{QStringLiteral("Please stop the running operation first!")});
    QCOMPARE(m_prompts->files.size(), 1); // no chooser the second time
    QCOMPARE(g_firmware_file, fw(GOOD));
    QCOMPARE(engine().m_packet_count, quint16(3));
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
    choose(GOOD);
    // Connected after the dialog's own slots: the label is already set.
    QStringList shown;
    const auto record = [&] { shown << status(); };
    connect(&engine(), &Upgrader::upgrade_info, this, record);
    connect(&engine(), &Upgrader::upgrade_progress, this, record);
    QSignalSpy finished(&engine(), &Upgrader::upgrade_finished);

    ui()->btn_begin_upgrade->click();
    QCOMPARE(status(), QStringLiteral("Checking device information"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Cancel"));
    QCOMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("CheckVersion"));
    QVERIFY(finished.wait(RUN_TIMEOUT_MS));

    QCOMPARE(shown,
             (QStringList{"Erasing Chip...", "Erase finished, begin upgrade...", "Upgrading 33%",
                          "Upgrading 66%", "Upgrading 100%", "Waitting for completion...", last}));
    QCOMPARE(status(), last);
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(ui()->lbl_device_firmware->text(), QStringLiteral("Current Version:01.00.00.00"));
    QVERIFY(!engine().m_running && m_dialog->isVisible());
    QCOMPARE(m_device->seen().image, QByteArray(3000, 'x') + QByteArray(72, '\x1a'));
}

void TestDialogUpgrade::versionCheck()
{
    m_device->script.info = "KT62_V02.03.04.05";
    QVERIFY(openPort());
    QSignalSpy cancel(m_device.get(), &FakeDevice::cancelReceived);
    ui()->btn_begin_checkversion->click();
    QCOMPARE(status(), QStringLiteral("Checking device information"));
    QCOMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("Cancel"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QVERIFY(cancel.wait(RUN_TIMEOUT_MS));
    QTRY_COMPARE(ui()->btn_begin_checkversion->text(), QStringLiteral("CheckVersion"));

    QVERIFY(!engine().m_running);
    QCOMPARE(status(), QStringLiteral("CheckVersion Finish!"));
    // No firmware chosen: the model is empty, the version is the device's.
    QCOMPARE(ui()->lbl_deivce_model->text(), QStringLiteral("Device Model:"));
    QCOMPARE(ui()->lbl_device_firmware->text(), QStringLiteral("Current Version:02.03.04.05"));
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
    // Run modally as in the program; the clicks come from inside its loop.
    QTimer::singleShot(0, this, [&] {
        choose(GOOD);
        (startWithCheck ? check : upgrade)->click();
        QCOMPARE((startWithCheck ? check : upgrade)->text(), QStringLiteral("Cancel"));
        (cancelWithCheck ? check : upgrade)->click();
    });
    LogCapture log;
    QCOMPARE(m_dialog->exec(), int(QDialog::Rejected));

    QVERIFY(!m_dialog->isVisible());
    QVERIFY(!engine().m_running);
    QVERIFY(!engine().m_query_timer->isActive()); // nothing follows the start sequence
    QCOMPARE(g_firmware_file, QString());
    QCOMPARE(status(), QString());
    QCOMPARE(upgrade->text() + check->text(), QStringLiteral("UpgradeCheckVersion"));
    QCOMPARE(log.lines().filter(QStringLiteral("sending:")),
             QStringList{QStringLiteral("sending: \"24000799000023\"")});
    QVERIFY(m_prompts->messages.isEmpty());
}

void TestDialogUpgrade::closeAndReopenResets()
{
    // Closed with the window's button during a run: the run goes on behind
    // the hidden dialog, the next opening starts clean, and either button
    // then cancels.
    m_device->script.answer_query = false;
    QVERIFY(openPort());
    choose(GOOD);
    ui()->btn_begin_upgrade->click();
    m_dialog->close();
    QVERIFY(engine().m_running);
    emit engine().upgrade_progress(42);
    QCOMPARE(status(), QStringLiteral("Upgrading 42%"));

    m_dialog->show();
    QCOMPARE(status(), QString());
    QCOMPARE(ui()->lbl_target_firmware->text(), QStringLiteral("Upgrade Version: Unknown"));
    QCOMPARE(ui()->btn_begin_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(g_firmware_file, QString());
    QVERIFY(engine().m_running);
    ui()->btn_begin_checkversion->click();
    QVERIFY(!engine().m_running && !m_dialog->isVisible());

    // Idle now: a firmware chosen in an earlier opening does not count.
    m_dialog->show();
    choose(GOOD);
    m_dialog->close();
    m_dialog->show();
    ui()->btn_begin_upgrade->click();
    QCOMPARE(m_prompts->texts(), QStringList{QStringLiteral("Please choose firmware!")});
}

void TestDialogUpgrade::standardBoxAndChooser()
{
    // Without a responder the toolkit's own box and chooser come up.
    m_prompts.reset();
    QStringList seen;
    const auto answerModal = [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            seen << box->text() << box->windowTitle()
                 << QString::number(box->standardButtons() == QMessageBox::Ok);
        } else if (auto *chooser = qobject_cast<QFileDialog *>(modal)) {
            seen << chooser->windowTitle() << chooser->nameFilters();
        }
        seen << QString::number(modal && !modal->parentWidget());
        if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog->reject();
        }
    };
    QTimer::singleShot(0, this, answerModal);
    ui()->btn_begin_upgrade->click();
    QTimer::singleShot(0, this, answerModal);
    ui()->btn_choose_firmware->click();
    QCOMPARE(seen, (QStringList{"Serial Port is not opened!", "", "1", "1", "Choose Firmware",
                                "*.bin", "1"}));
    QCOMPARE(g_firmware_file, QString());
}

QTEST_MAIN(TestDialogUpgrade)
#include "tst_dialogupgrade.moc"
