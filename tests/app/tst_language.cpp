// The upgrade dialog driven through the main window against a transcript, in
// English, in Chinese (as the catalogue translates it) and in English again.
#include "app/mainwindow.h"
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "serial/port_list.h"
#include "tests/support/dialogdriver.h"
#include "tests/support/fakedevice.h"
#include "tests/support/logcapture.h"
#include "ui_dialogupgrade.h"
#include "ui_mainwindow.h"
#include <QRegularExpression>
#include <QTemporaryDir>

// Counts the notices that installing or removing a translator sends.
struct LanguageChanges : QObject
{
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        count += watched == qApp && event->type() == QEvent::LanguageChange;
        return false;
    }
    int count = 0;
};

// Each line is "step => what followed". A step is a button, "open" or "shut"
// for the port, "close" or "show" for the dialog, "fail" for a device whose
// upgrades fail, "wait" for the run to end, "wire" for the bytes of the last run, "look" at the
// dialog, "window" at the other windows, or a firmware file to choose.
const QString SCENARIO = QStringLiteral(R"(
window => KT62 Update Tool V2.06 | SerialPort | Close | Upgrade | Language（语言） | 固件加密 | 选择源文件 | 未设置 | 选择输出目录 | 未设置 | 加密 | - | idle | hidden
shut => Open | - | idle | hidden
show => - | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
upgrade => Serial Port is not opened! | - | idle
fw.bin => Firmware name is not right! | - | idle
KT62_V09.09.09.09.bin => Firmware file cannot be read! | - | idle
open => Close | - | idle
upgrade => Please choose firmware! | - | idle
check => - | running | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Cancel | Upgrade | - | running
wait => Checking Version... | CheckVersion Finish! | - | idle | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | CheckVersion Finish! | Device Model: | Current Version:01.00.00.00 | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Cancel | KT62_V01.02.03.04.bin | running
KT62_V01.02.03.04.bin => Please stop the running operation first! | KT62_V01.02.03.04.bin | running
wait => Erasing Chip... | Erase finished, begin upgrade... | Upgrading 100% | Waitting for completion... | Upgrade finished! | KT62_V01.02.03.04.bin | idle | sent
wire => 24000799000023240b001030312e30322e30332e303424040020080000000201fe8a01000061626364(1a x1016)450400 | KT62_V01.02.03.04.bin | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Upgrade finished! | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Upgrade | KT62_V01.02.03.04.bin | idle
fail => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
wait => Erasing Chip... | Erase finished, begin upgrade... | Upgrading 100% | Waitting for completion... | Upgrade faild! | KT62_V01.02.03.04.bin | idle | sent
check => KT62_V01.02.03.04.bin | running | sent
upgrade => - | idle | hidden
show => - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
shut => Open | KT62_V01.02.03.04.bin | running
upgrade => Serial Port is not opened! | KT62_V01.02.03.04.bin | running
open => Close | KT62_V01.02.03.04.bin | running
close => KT62_V01.02.03.04.bin | running | hidden
show => - | running
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | - | running
check => - | idle | hidden)");

const QByteArray START = QByteArray::fromHex("24000799000023");

class TestLanguage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    FakeDevice m_device;
    PromptRecorder m_prompts;
    const bool m_ports =
        (set_port_name_source([this] { return QStringList{m_device.pty.slavePath()}; }), true);
    MainWindow m_window;
    DialogUpgrade &m_dialog = *m_window.m_dialog_upgrade;
    Upgrader &m_engine = m_dialog.m_upgrader;

    // The status line at each change until the run ends. The first query goes
    // out at once, not a second later: its timing is the engine test's.
    QStringList waitForRun()
    {
        QStringList shown;
        QObject context; // the connections end with the wait
        const auto record = [&] { shown << m_dialog.ui->lbl_upgrade_info->text(); };
        QObject::connect(&m_engine, &Upgrader::upgrade_info, &context, record);
        QObject::connect(&m_engine, &Upgrader::upgrade_progress, &context, record);
        if (m_engine.m_query_timer->isActive()) {
            m_engine.m_query_timer->start(); // counts its second afresh: no second query
            m_engine.up_query_firmware_info();
        }
        return QTest::qWaitFor([&] { return !m_engine.m_running; }, 20000) ? shown
                                                                           : QStringList{"hung"};
    }
    // What followed a step: boxes, texts or statuses, then the chosen file,
    // the engine's state, whether the dialog is hidden and anything was sent.
    QString act(const QString &step)
    {
        QStringList out;
        const auto texts = [&](std::initializer_list<QWidget *> windows) {
            for (QWidget *window : windows) {
                out << window->windowTitle();
                for (QWidget *w : window->findChildren<QWidget *>()) {
                    out << w->property("text").toString() << w->property("title").toString();
                }
            }
        };
        QPushButton *port = m_window.ui->btn_open_serial;
        const QHash<QString, std::function<void()>> actions{
            {"open", [&] { port->click(), out << port->text(); }},
            {"shut", [&] { port->click(), out << port->text(); }},
            {"close", [this] { m_dialog.close(); }},
            {"show", [this] { m_dialog.show(); }},
            {"fail", [this] { m_device.result = 0x01; }},
            {"upgrade", [this] { m_dialog.ui->btn_begin_upgrade->click(); }},
            {"check", [this] { m_dialog.ui->btn_begin_checkversion->click(); }},
            {"wait", [&] { out = waitForRun(); }},
            {"wire",
             [&] {
                 const QByteArray run = m_device.seen.mid(m_device.seen.lastIndexOf(START));
                 out << run.toHex().replace(QByteArray(1016, 0x1a).toHex(), "(1a x1016)");
             }},
            {"look", [&] { texts({&m_dialog}); }},
            {"window", [&] {
                 texts({&m_window, m_window.m_dialog_encrypt});
             }}};
        const int boxes = m_prompts.boxes.size();
        LogCapture log;
        if (actions.contains(step)) {
            actions[step]();
        } else {
            m_prompts.answers = QStringList{m_dir.filePath(step)};
            m_dialog.ui->btn_choose_firmware->click();
        }
        out = m_prompts.boxes.mid(boxes) + out;
        out << (g_firmware_file.isEmpty() ? "-" : QFileInfo(g_firmware_file).fileName())
            << (m_engine.m_running ? "running" : "idle") << (m_dialog.isVisible() ? "" : "hidden")
            << (log.lines().filter("sending:").isEmpty() ? "" : "sent");
        out.removeAll(QString());
        return step + " => " + out.join(" | ");
    }
    QStringList tour()
    {
        QStringList got;
        m_device.result = 0x00;
        m_engine.m_device_model.clear(); // as at startup: no firmware ever loaded
        for (const QString &line : SCENARIO.split('\n', Qt::SkipEmptyParts)) {
            got << act(line.section(" => ", 0, 0));
        }
        return got;
    }

private slots:
    void switching()
    {
        QVERIFY(write_file(m_dir.filePath("KT62_V01.02.03.04.bin"),
                           QByteArray::fromHex("8a01000061626364")));
        Ui::MainWindow *ui = m_window.ui;
        LanguageChanges changes;
        qApp->installEventFilter(&changes);
        // English and Chinese checked and enabled, translators installed or removed.
        QStringList states;
        const auto click = [&](QAction *action) {
            action->trigger();
            states << QString("%1%2 %3%4 %5 ")
                              .arg(ui->actionEnglish->isChecked())
                              .arg(ui->actionEnglish->isEnabled())
                              .arg(ui->actionChinese->isChecked())
                              .arg(ui->actionChinese->isEnabled())
                              .arg(changes.count) +
                          m_window.windowTitle() + '|' + ui->btn_open_serial->text();
        };
        ui->btn_open_serial->click(); // open at each switch
        click(ui->actionEnglish);
        click(ui->actionEnglish);
        const QStringList english = SCENARIO.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(tour(), english);
        QVERIFY(!m_engine.m_query_timer->isActive()); // nothing after a cancel
        click(ui->actionChinese);
        // Each English text as the catalogue translates it: the longest source
        // it starts with (up to any %1) is replaced, a value behind it kept.
        QFile file(qEnvironmentVariable("KT62_SOURCE_DIR") + "/resources/translation_ch.ts");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QRegularExpression message("<source>(.*)</source>\\s*<translation>(.*)</");
        QMap<QString, QString> catalogue;
        for (auto it = message.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
            const auto match = it.next();
            catalogue[match.captured(1)] = match.captured(2);
        }
        const auto head = [](const QString &text) { return text.section("%1", 0, 0); };
        QStringList chinese, unreached = catalogue.keys();
        for (const QString &line : english) {
            QStringList items = line.section(" => ", 1).split(" | ");
            for (QString &text : items) {
                QString source;
                for (const QString &key : catalogue.keys()) {
                    if (text.startsWith(head(key)) && head(key).size() > head(source).size()) {
                        source = key;
                    }
                }
                unreached.removeAll(source);
                if (!source.isEmpty()) {
                    text = head(catalogue[source]) + text.mid(head(source).size());
                }
            }
            chinese << line.section(" => ", 0, 0) + " => " + items.join(" | ");
        }
        QCOMPARE(unreached, QStringList());
        QCOMPARE(tour(), chinese);
        click(ui->actionEnglish);
        QCOMPARE(tour(), english);
        click(ui->actionChinese);
        QCOMPARE(states, (QStringList{"01 01 0 KT62 Update Tool V2.06|Close",
                                      "10 01 0 KT62 Update Tool V2.06|Close",
                                      "01 10 1 KT62升级工具 V2.06|关闭",
                                      "10 01 2 KT62 Update Tool V2.06|Close",
                                      "01 10 3 KT62升级工具 V2.06|关闭"}));
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
