#include "dialogdriver.h"
#include "dialogupgrade.h"
#include "fakedevice.h"
#include "logcapture.h"
#include "ui_dialogupgrade.h"
#include <QTemporaryDir>

class TestDialogUpgrade : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    FakeDevice m_device;
    PromptRecorder m_prompts;
    DialogUpgrade m_dialog;
    Ui::DialogUpgrade *ui() const { return m_dialog.ui; }
    // What followed a step: boxes or a run's statuses, the chosen file, the
    // engine's state, whether the dialog is hidden and anything was sent.
    QString act(const QString &step)
    {
        QStringList out;
        const QHash<QString, std::function<void()>> actions{
            {"open", [this] { g_gpi.openSerialPort(m_device.slavePath()); }},
            {"shut", [] { g_gpi.closeSerialPort(); }},
            {"close", [this] { m_dialog.close(); }},
            {"show", [this] { m_dialog.show(); }},
            {"upgrade", [this] { ui()->btn_begin_upgrade->click(); }},
            {"check", [this] { ui()->btn_begin_checkversion->click(); }},
            {"wait", [&] { out = waitForRun(m_dialog.m_upgrader, ui()->lbl_upgrade_info); }},
            {"look", [&] {
                 out << ui()->lbl_deivce_model->text() << ui()->lbl_device_firmware->text()
                     << ui()->lbl_target_firmware->text() << ui()->lbl_upgrade_info->text()
                     << ui()->btn_begin_upgrade->text() << ui()->btn_begin_checkversion->text();
             }}};
        const int boxes = m_prompts.boxes.size();
        LogCapture log;
        if (actions.contains(step)) {
            actions[step]();
        } else {
            m_prompts.answers = QStringList{m_dir.filePath(step)};
            ui()->btn_choose_firmware->click();
        }
        out = m_prompts.boxes.mid(boxes) + out;
        out << (g_firmware_file.isEmpty() ? "-" : QFileInfo(g_firmware_file).fileName())
            << (m_dialog.m_upgrader.m_running ? "running" : "idle")
            << (m_dialog.isVisible() ? "" : "hidden")
            << (log.lines().filter("sending:").isEmpty() ? "" : "sent");
        out.removeAll(QString());
        return out.join(" | ");
    }

private slots:
    // Each line is "step => what followed". A step is a button, "open" or
    // "shut" for the port, "close" or "show" for the dialog, "wait" for the
    // run to end, "look" at the dialog, or a firmware file to choose.
    void scenario()
    {
        QVERIFY(writeFile(m_dir.filePath("KT62_V01.02.03.04.bin"), QByteArray(3000, 'x')) &&
                writeFile(m_dir.filePath("fw_V/any.bin"), QByteArray(3000, 'x')) &&
                writeFile(m_dir.filePath("KT62_V00.bin"), QByteArray()));
        m_dialog.show();
        const QString lines = QStringLiteral(R"(
look => Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Upgrade | CheckVersion | - | idle
upgrade => Serial Port is not opened! | - | idle
open => - | idle
upgrade => Please choose firmware! | - | idle
check => - | running | sent
look => Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Checking device information | Upgrade | Cancel | - | running
wait => Checking Version... | CheckVersion Finish! | - | idle | sent
look => Device Model: | Current Version:01.00.00.00 | Upgrade Version: Unknown | CheckVersion Finish! | Upgrade | CheckVersion | - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
close => KT62_V01.02.03.04.bin | idle | hidden
show => - | idle
upgrade => Please choose firmware! | - | idle
fw_V/any.bin => any.bin | idle
fw/any_v1.bin => Firmware name is not right! | any.bin | idle
KT62_V05.bin => Firmware file cannot be read! | - | idle
upgrade => Please choose firmware! | - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
KT62_V00.bin => Firmware file cannot be read! | - | idle
upgrade => Please choose firmware! | - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
look => Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | Checking device information | Cancel | CheckVersion | KT62_V01.02.03.04.bin | running
fw_V/any.bin => Please stop the running operation first! | KT62_V01.02.03.04.bin | running
wait => Erasing Chip... | Erase finished, begin upgrade... | Upgrading 33% | Upgrading 66% | Upgrading 100% | Waitting for completion... | Upgrade finished! | KT62_V01.02.03.04.bin | idle | sent
look => Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | Upgrade finished! | Upgrade | CheckVersion | KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
upgrade => - | idle | hidden
look => Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Upgrade | CheckVersion | - | idle | hidden
show => - | idle
check => - | running | sent
shut => - | running
upgrade => Serial Port is not opened! | - | running
check => Serial Port is not opened! | - | running
open => - | running
upgrade => - | idle | hidden
show => - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
close => KT62_V01.02.03.04.bin | running | hidden
show => - | running
look => Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Upgrade | CheckVersion | - | running
check => - | idle | hidden)");
        for (const QString &line : lines.split('\n', Qt::SkipEmptyParts)) {
            const QString step = line.section(" => ", 0, 0);
            QCOMPARE(step + " => " + act(step), line);
        }
        QVERIFY(!m_dialog.m_upgrader.m_query_timer->isActive()); // nothing after a cancel
        m_prompts.choosers.removeDuplicates();                   // every chooser alike
        QCOMPARE(m_prompts.choosers, QStringList{"file|unparented|Choose Firmware|.|*.bin|0"});
    }
};

QTEST_MAIN(TestDialogUpgrade)
#include "tst_dialogupgrade.moc"
