// The upgrade dialog driven through the main window against the fake device, in English and
// in Chinese (as the catalogue translates it), and the fixed texts and sizes of every window.
// Each case starts with the port open, the dialog shown and idle, and English chosen.
#include "app/mainwindow.h"
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "serial/port_list.h"
#include "tests/support/fakedevice.h"
#include "tests/support/promptrecorder.h"
#include "widgets/elidedlabel.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimerEvent>

namespace {
const QString GOOD = "KT62_V01.02.03.04.bin";   // the image 8a01000061626364
const QString OTHER = "_V00.00.00.00.bin";      // the same image
const QString EMPTY = "KT62_V00.00.00.01.bin";  // 0 bytes
const QString FOLDER = "KT62_V00.00.00.02.bin"; // a folder: cannot be read
const QString CHECK = "btn_begin_checkversion", UPGRADE = "btn_begin_upgrade";
constexpr bool English = false, Chinese = true;

template <typename T> T &top_level()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<T *>(widget)) {
            return *found;
        }
    }
    qFatal("no top-level %s", T::staticMetaObject.className());
}

} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    FakeDevice m_device;
    PromptRecorder m_prompts;
    // The device is the only port there is, behind the program's channel.
    const bool m_ports = (set_port_name_source([] { return QStringList{"ttyKT62"}; }),
                          g_gpi.set_device(&m_device.line), true);
    MainWindow m_window;
    DialogUpgrade &m_dialog = top_level<DialogUpgrade>();
    const Upgrader &m_engine = m_dialog.upgrader();

    template <typename T = QWidget> T *child(QWidget &window, const QString &name)
    {
        return window.findChild<T *>(name);
    }
    void click(QWidget &window, const QString &button)
    {
        child<QPushButton>(window, button)->click();
    }
    QString status() { return child<QLabel>(m_dialog, "lbl_upgrade_info")->text(); }
    QString bar() { return child<QLabel>(m_window, "lbl_status")->text(); }
    void setLanguage(bool chinese)
    {
        QAction *action = child<QAction>(m_window, chinese ? "actionChinese" : "actionEnglish");
        if (!action->isChecked()) {
            action->trigger();
        }
    }
    void choose(const QString &name)
    {
        m_prompts.answers = QStringList{m_dir.filePath(name)};
        click(m_dialog, "btn_choose_firmware");
    }
    // Drags a file over the dialog and drops it there, as a file manager would.
    void drop(const QString &name)
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(m_dir.filePath(name))});
        const QPoint middle = m_dialog.rect().center();
        QDragEnterEvent enter(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&m_dialog, &enter);
        QDropEvent dropped(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted()) {
            QCoreApplication::sendEvent(&m_dialog, &dropped);
        }
    }
    // The first query goes out at once, not a second later: its timing is the engine test's.
    void sendQueryNow()
    {
        if (m_engine.m_query_timer->isActive()) {
            QTimerEvent tick(m_engine.m_query_timer->timerId());
            QCoreApplication::sendEvent(m_engine.m_query_timer, &tick);
        }
    }
    // The status line at each change until the run ends.
    QStringList waitForRun()
    {
        QStringList shown;
        QObject context; // the connections end with the wait
        const auto record = [&] { shown << status(); };
        QObject::connect(&m_engine, &Upgrader::upgrade_info, &context, record);
        QObject::connect(&m_engine, &Upgrader::upgrade_progress, &context, record);
        sendQueryNow();
        return QTest::qWaitFor([&] { return !m_engine.m_running; }, 20000) ? shown
                                                                           : QStringList{"hung"};
    }
    // The device falls silent once the engine has said `said` (nothing: before the query).
    bool silenceDeviceAfter(const QString &said)
    {
        QObject context;
        if (said.isEmpty()) {
            m_device.poll.stop();
        }
        QObject::connect(&m_engine, &Upgrader::upgrade_info, &context, [&](const QString &info) {
            if (info == Upgrader::tr(qPrintable(said))) {
                m_device.poll.stop();
            }
        });
        sendQueryNow();
        return QTest::qWaitFor([&] { return !m_device.poll.isActive(); }, 20000);
    }

private slots:
    void initTestCase()
    {
        const QByteArray image = QByteArray::fromHex("8a01000061626364");
        QVERIFY(write_file(m_dir.filePath(GOOD), image) &&
                write_file(m_dir.filePath(OTHER), image));
        QVERIFY(write_file(m_dir.filePath(EMPTY), {}) && QDir(m_dir.path()).mkdir(FOLDER));
    }
    void init()
    {
        if (!g_gpi.isOpen()) {
            click(m_window, "btn_open_serial");
        }
        // A device that has nothing left to answer from an earlier case.
        m_device.line.readAll();
        m_device.line.take_sent();
        m_device.in.clear();
        m_device.result = 0x00;
        m_device.poll.start(1);
        m_dialog.close();
        m_dialog.show(); // an opening while idle starts afresh
    }
    void cleanup()
    {
        g_gpi.closeSerialPort(); // ends any run
        setLanguage(English);
        m_prompts.boxes.clear();
    }
    void cleanupTestCase() { g_gpi.set_device(nullptr); }

    // A language's action is checked and disabled while it is chosen; English chosen at start
    // only unchecks itself.
    void languageMenu()
    {
        QAction *english = child<QAction>(m_window, "actionEnglish");
        QAction *chinese = child<QAction>(m_window, "actionChinese");
        const auto flags = [&] {
            return QList<bool>{english->isChecked(), english->isEnabled(), chinese->isChecked(),
                               chinese->isEnabled()};
        };
        english->trigger();
        QCOMPARE(flags(), (QList<bool>{false, true, false, true}));
        chinese->trigger();
        QCOMPARE(flags(), (QList<bool>{false, true, true, false}));
        english->trigger();
        QCOMPARE(flags(), (QList<bool>{true, false, false, true}));
    }

    // What each window shows at rest (the encryption dialog is Chinese in both), Qt's own texts,
    // and the windows' fixed sizes.
    void fixedOutputs_data()
    {
        QTest::addColumn<bool>("chinese");
        QTest::addColumn<QStringList>("texts"); // each window's title and texts, then Qt's OK
        const QStringList encrypt{"固件加密",     "选择源文件", "未设置",
                                  "选择输出目录", "未设置",     "加密"};
        const QStringList window{"KT62 Update Tool V2.06", "SerialPort", "Close", "Upgrade"};
        const QStringList dialog{"Firmware Upgrade", "Choose Firmware",
                                 "Upgrade Status:", "Device Model: Unknown"};
        const QStringList labels{"Current Version: Unknown", "Upgrade Version: Unknown",
                                 "CheckVersion", "Upgrade"};
        const QStringList windowZh{"KT62升级工具 V2.06", "串口", "关闭", "升级"};
        const QStringList dialogZh{"固件升级", "选择固件", "升级状态：", "设备型号：未知"};
        const QStringList labelsZh{"当前版本：未知", "升级版本：未知", "查询版本", "升级"};
        const QStringList menu{"Language（语言）"};
        QTest::newRow("english") << English
                                 << window + menu + dialog + labels + encrypt + QStringList{"OK"};
        QTest::newRow("chinese") << Chinese
                                 << windowZh + menu + dialogZh + labelsZh + encrypt +
                                        QStringList{"确定"};
    }
    void fixedOutputs()
    {
        QFETCH(bool, chinese);
        setLanguage(chinese);
        const QList<QWidget *> windows{&m_window, &m_dialog, &top_level<DialogEncrypt>()};
        const QList<QSize> sizes{{320, 180}, {500, 300}, {640, 193}};
        QStringList texts;
        for (int i = 0; i < windows.size(); ++i) {
            QCOMPARE(windows[i]->minimumSize(), sizes[i]);
            QCOMPARE(windows[i]->maximumSize(), sizes[i]);
            texts << windows[i]->windowTitle();
            for (QWidget *w : windows[i]->findChildren<QWidget *>()) {
                texts << w->property("text").toString() << w->property("title").toString();
            }
        }
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Ok);
        texts << box.button(QMessageBox::Ok)->text();
        texts.removeAll(QString());
        QTEST(texts, "texts");
    }

    // What the dialog refuses, and what it takes, by a box in the row's language.
    void refusals_data()
    {
        QTest::addColumn<bool>("chinese");
        QTest::addColumn<QString>("file"); // chosen, or dropped; none: "Upgrade" pressed
        QTest::addColumn<bool>("dropped");
        QTest::addColumn<bool>("open");    // the port is open
        QTest::addColumn<bool>("running"); // a version check runs
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("chosen"); // the file chosen after
        QTest::addColumn<bool>("closed");    // the dialog closed, its run stopped
        const auto both = [](const char *tag, QString file, bool dropped, bool open, bool running,
                             QStringList english, QStringList chinese, QString chosen = "",
                             bool closed = false) {
            QTest::addRow("en: %s", tag)
                << English << file << dropped << open << running << english << chosen << closed;
            QTest::addRow("zh: %s", tag)
                << Chinese << file << dropped << open << running << chinese << chosen << closed;
        };
        const QStringList busy{"Please stop the running operation first!"};
        const QStringList busyZh{"请先停止当前操作！"};
        both("upgrade, port closed", "", false, false, false, {"Serial Port is not opened!"},
             {"串口未打开！"});
        both("chosen, port closed", OTHER, false, false, false, {}, {}, OTHER);
        both("name without _V", "fw.bin", false, true, false, {"Firmware name is not right!"},
             {"固件文件名不正确！"});
        both("no firmware", "", false, true, false, {"Please choose firmware!"}, {"请选择固件！"});
        both("empty file", EMPTY, false, true, false, {"Firmware file is empty!"},
             {"固件文件为空！"});
        both("unreadable file", FOLDER, false, true, false, {"Firmware file cannot be read!"},
             {"无法读取固件文件！"});
        both("dropped", GOOD, true, true, false, {}, {}, GOOD);
        both("chosen during a run", GOOD, false, true, true, busy, busyZh);
        both("dropped during a run", GOOD, true, true, true, busy, busyZh);
        both("the other button during a run", "", false, true, true, {}, {}, "", true);
    }
    void refusals()
    {
        QFETCH(bool, chinese);
        QFETCH(QString, file);
        QFETCH(bool, dropped);
        QFETCH(bool, open);
        QFETCH(bool, running);
        QFETCH(bool, closed);
        setLanguage(chinese);
        if (running) {
            click(m_dialog, CHECK);
        }
        if (!open) {
            click(m_window, "btn_open_serial");
        }
        if (file.isEmpty()) {
            click(m_dialog, UPGRADE);
        } else if (dropped) {
            drop(file);
        } else {
            choose(file);
        }
        QTEST(m_prompts.boxes, "boxes");
        QTEST(QFileInfo(g_firmware_file).fileName(), "chosen");
        QCOMPARE(m_dialog.isVisible(), !closed);
        QCOMPARE(m_engine.m_running, running && !closed);
    }

    // Runs to their end, each after choosing its file: the status line and the run's button at
    // the click, each status the run showed, the labels and buttons at its end, and the status
    // line once another file is chosen.
    void runs_data()
    {
        QTest::addColumn<bool>("chinese");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("result"); // the device's
        QTest::addColumn<QStringList>("shown");
        const auto both = [](const char *tag, QString button, QString file, int result,
                             QStringList english, QStringList chinese) {
            QTest::addRow("en: %s", tag) << English << button << file << result << english;
            QTest::addRow("zh: %s", tag) << Chinese << button << file << result << chinese;
        };
        const QStringList start{"Checking device information", "Cancel"};
        const QStringList startZh{"正在查询设备信息", "取消"};
        const QStringList transfer{"Erasing Chip...", "Erase finished, begin upgrade...",
                                   "Upgrading 100%", "Waitting for completion..."};
        const QStringList transferZh{"正在擦除芯片...", "擦除完成，开始升级...", "进度100%",
                                     "等待最后完成..."};
        const QStringList end{"Device Model:KT62",
                              "Current Version:01.00.00.00",
                              "Upgrade Version:01.02.03.04",
                              "CheckVersion",
                              "Upgrade",
                              ""};
        const QStringList endZh{"设备型号：KT62",
                                "当前版本：01.00.00.00",
                                "升级版本：01.02.03.04",
                                "查询版本",
                                "升级",
                                ""};
        both("version check", CHECK, OTHER, 0,
             start + QStringList{"Checking Version...", "CheckVersion Finish!",
                                 "Device Model:", "Current Version:01.00.00.00",
                                 "Upgrade Version:00.00.00.00", "CheckVersion", "Upgrade", ""},
             startZh + QStringList{"正在检查固件版本...", "检查固件版本完成!", "设备型号：",
                                   "当前版本：01.00.00.00", "升级版本：00.00.00.00", "查询版本",
                                   "升级", ""});
        both("upgrade", UPGRADE, GOOD, 0, start + transfer + QStringList{"Upgrade finished!"} + end,
             startZh + transferZh + QStringList{"升级完成！"} + endZh);
        both("failed upgrade", UPGRADE, GOOD, 1,
             start + transfer + QStringList{"Upgrade faild!"} + end,
             startZh + transferZh + QStringList{"升级失败！"} + endZh);
    }
    void runs()
    {
        QFETCH(bool, chinese);
        QFETCH(QString, button);
        QFETCH(QString, file);
        QFETCH(int, result);
        setLanguage(chinese);
        choose(file);
        m_device.result = quint8(result);
        QPushButton *run = child<QPushButton>(m_dialog, button);
        run->click();
        QStringList shown{status(), run->text()};
        shown << waitForRun();
        for (const char *name : {"lbl_deivce_model", "lbl_device_firmware", "lbl_target_firmware",
                                 "btn_begin_checkversion", "btn_begin_upgrade"}) {
            shown << child(m_dialog, name)->property("text").toString();
        }
        choose(GOOD);
        QTEST(shown << status(), "shown");
    }

    // An opening while no run is active starts afresh: nothing chosen, nothing known of the
    // device, no status from the run before.
    void reopenedAfresh()
    {
        choose(GOOD);
        click(m_dialog, CHECK);
        QCOMPARE(waitForRun().last(), QString("CheckVersion Finish!"));
        m_dialog.close();
        m_dialog.show();
        QStringList shown{status(), g_firmware_file};
        for (const char *name :
             {"lbl_deivce_model", "lbl_device_firmware", "lbl_target_firmware"}) {
            shown << child<QLabel>(m_dialog, name)->text();
        }
        QCOMPARE(shown, (QStringList{"", "", "Device Model: Unknown", "Current Version: Unknown",
                                     "Upgrade Version: Unknown"}));
    }

    // Closing the dialog does not stop a run: shown again after two switches of language, it
    // shows the run's status and Cancel on its button. A run that the port then stops: the
    // main window says why at once, the dialog when shown again, both in the language chosen
    // since. Opening the port again does not resume the run nor drop the notice; the next
    // choice of a file does.
    void stopNotice_data()
    {
        QTest::addColumn<QString>("button");  // that started the run
        QTest::addColumn<QString>("silence"); // the device falls silent after this status
        QTest::addColumn<bool>("lost");       // the port is lost (an error report), not closed
        QTest::addColumn<QString>("english");
        QTest::addColumn<QString>("chinese");
        const auto row = [](const char *tag, QString button, QString silence, bool lost, QString en,
                            QString zh) {
            QTest::newRow(tag) << button << silence << lost << en << zh;
        };
        const QString closed = "Serial port closed, operation stopped";
        const QString lost = "Serial port lost, operation stopped";
        const QString erased = "; the device may be erased and must be upgraded again";
        const QString closedZh = "串口已断开，操作已停止", lostZh = "串口连接丢失，操作已停止";
        const QString erasedZh = "；设备可能已被擦除，必须重新升级";
        row("closed, version check", CHECK, "", false, closed, closedZh);
        row("lost, version check", CHECK, "", true, lost, lostZh);
        row("closed before the erase", UPGRADE, "", false, closed, closedZh);
        row("closed while erasing", UPGRADE, "Erasing Chip...", false, closed + erased,
            closedZh + erasedZh);
        row("lost in the transfer", UPGRADE, "Erase finished, begin upgrade...", true,
            lost + erased, lostZh + erasedZh);
        row("lost awaiting the result", UPGRADE, "Waitting for completion...", true, lost + erased,
            lostZh + erasedZh);
    }
    void stopNotice()
    {
        QFETCH(QString, button);
        QFETCH(QString, silence);
        QFETCH(bool, lost);
        QFETCH(QString, english);
        QFETCH(QString, chinese);
        choose(GOOD);
        click(m_dialog, button);
        QVERIFY(silenceDeviceAfter(silence));
        m_dialog.close();
        setLanguage(Chinese);
        setLanguage(English);
        m_dialog.show();
        QStringList shown{status(), child<QPushButton>(m_dialog, button)->text()};
        m_dialog.close();
        if (lost) {
            g_gpi.handle_error(QSerialPort::ResourceError);
        } else {
            click(m_window, "btn_open_serial");
        }
        shown << bar();
        m_dialog.show();
        shown << status();
        setLanguage(Chinese);
        shown << bar() << status();
        setLanguage(English);
        click(m_window, "btn_open_serial");
        QVERIFY(!m_engine.m_running);
        shown << status();
        choose(GOOD);
        const QString running = silence.isEmpty() ? "Checking device information" : silence;
        QCOMPARE(shown << status(),
                 (QStringList{running, "Cancel", english, english, chinese, chinese, english, ""}));
    }

    // Every translation in the catalogue is expected somewhere in these tests (its fixed parts
    // around its %1, %2...): a text that the program no longer shows, or that no test looks
    // at, shows here.
    void catalogueCovered()
    {
        const QString root = qEnvironmentVariable("KT62_SOURCE_DIR");
        QString tests;
        for (const char *name : {"/tests/app/tst_language.cpp", "/tests/app/tst_mainwindow.cpp"}) {
            tests += QString::fromUtf8(read_file(root + name));
        }
        tests.remove(QRegularExpression("\"\\s*\n\\s*\"")); // literals continued on the next line
        const QString catalogue =
            QString::fromUtf8(read_file(root + "/resources/translation_ch.ts"));
        QStringList missing;
        const QRegularExpression translation("<translation>(.*)</translation>");
        for (auto it = translation.globalMatch(catalogue); it.hasNext();) {
            const QString text = it.next().captured(1);
            for (const QString &part : text.split(QRegularExpression("%\\d"), Qt::SkipEmptyParts)) {
                missing << (tests.contains(part) ? QString() : text);
            }
        }
        missing.removeAll(QString());
        QVERIFY(catalogue.contains("<translation>"));
        QCOMPARE(missing.join(" | "), QString());
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
