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
const QByteArray START = QByteArray::fromHex("24000799000023");

template <typename T> T &top_level()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<T *>(widget)) {
            return *found;
        }
    }
    qFatal("no top-level %s", T::staticMetaObject.className());
}

// A row in each language: tag "en: ..." with the English expectations, "zh: ..." with the
// Chinese ones.
template <typename In, typename Out> void both(const char *tag, In in, Out english, Out chinese)
{
    QTest::addRow("en: %s", tag) << QString("english") << in << english;
    QTest::addRow("zh: %s", tag) << QString("chinese") << in << chinese;
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
    void click(QWidget &window, const char *button) { child<QPushButton>(window, button)->click(); }
    QString status() { return child<QLabel>(m_dialog, "lbl_upgrade_info")->text(); }
    QString bar() { return child<QLabel>(m_window, "lbl_status")->text(); }
    void setLanguage(const QString &language)
    {
        QAction *action =
            child<QAction>(m_window, language == "chinese" ? "actionChinese" : "actionEnglish");
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
        setLanguage("english");
        m_prompts.boxes.clear();
    }
    void cleanupTestCase() { g_gpi.set_device(nullptr); }

    // The language actions' checked and enabled flags, the title and the open button, as each
    // is chosen in turn. English chosen at start unchecks itself and changes nothing.
    void languageMenu()
    {
        QStringList shown;
        for (const char *chosen : {"actionEnglish", "actionChinese", "actionEnglish"}) {
            child<QAction>(m_window, chosen)->trigger();
            QString flags;
            for (const char *name : {"actionEnglish", "actionChinese"}) {
                const QAction *action = child<QAction>(m_window, name);
                flags += QString("%1%2 ").arg(action->isChecked()).arg(action->isEnabled());
            }
            shown << flags + m_window.windowTitle() + " | " +
                         child<QPushButton>(m_window, "btn_open_serial")->text();
        }
        QCOMPARE(shown, (QStringList{"01 01 KT62 Update Tool V2.06 | Close",
                                     "01 10 KT62升级工具 V2.06 | 关闭",
                                     "10 01 KT62 Update Tool V2.06 | Close"}));
    }

    // What each window shows at rest, its fixed size, and Qt's own texts.
    void fixedOutputs_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("windows"); // title, minimum and maximum size of each
        QTest::addColumn<QString>("texts");   // of the main window and the dialogs, at rest
        QTest::newRow("chinese")
            << "chinese"
            << "KT62升级工具 V2.06 320x180 320x180 | 固件升级 500x300 500x300 | 固件加密 640x193 "
               "640x193 | 确定"
            << "KT62升级工具 V2.06 | 串口 | 关闭 | 升级 | Language（语言） | 固件升级 | 选择固件 | "
               "升级状态： | 设备型号：未知 | 当前版本：未知 | 升级版本：未知 | 查询版本 | 升级 | "
               "固件加密 | 选择源文件 | 未设置 | 选择输出目录 | 未设置 | 加密";
        QTest::newRow("english")
            << "english"
            << "KT62 Update Tool V2.06 320x180 320x180 | Firmware Upgrade 500x300 500x300 | "
               "固件加密 "
               "640x193 640x193 | OK"
            << "KT62 Update Tool V2.06 | SerialPort | Close | Upgrade | Language（语言） | "
               "Firmware "
               "Upgrade | Choose Firmware | Upgrade Status: | Device Model: Unknown | Current "
               "Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | 固件加密 | "
               "选择源文件 | 未设置 | 选择输出目录 | 未设置 | 加密";
    }
    void fixedOutputs()
    {
        QFETCH(QString, language);
        setLanguage(language);
        const auto size = [](const QSize &s) {
            return QString("%1x%2").arg(s.width()).arg(s.height());
        };
        QStringList shown, texts;
        for (QWidget *window :
             {static_cast<QWidget *>(&m_window), static_cast<QWidget *>(&m_dialog),
              static_cast<QWidget *>(&top_level<DialogEncrypt>())}) {
            shown << window->windowTitle() + " " + size(window->minimumSize()) + " " +
                         size(window->maximumSize());
            texts << window->windowTitle();
            for (QWidget *w : window->findChildren<QWidget *>()) {
                texts << w->property("text").toString() << w->property("title").toString();
            }
        }
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Ok);
        QTEST((shown << box.button(QMessageBox::Ok)->text()).join(" | "), "windows");
        texts.removeAll(QString());
        QTEST(texts.join(" | "), "texts");
    }

    // What the dialog refuses, and what it takes, by a box in the row's language.
    void refusals_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QStringList>("step"); // "choose", "drop" or a button; the file; whether
                                               // the port is open and a run active ("1")
        QTest::addColumn<QStringList>("said"); // the box (if any), the file chosen after, and
                                               // whether the dialog closed
        const QString upgrade = "btn_begin_upgrade";
        const QStringList busy{"Please stop the running operation first!", ""};
        const QStringList busyZh{"请先停止当前操作！", ""};
        both("upgrade, port closed", QStringList{upgrade, "", "", ""},
             QStringList{"Serial Port is not opened!", ""}, QStringList{"串口未打开！", ""});
        both("chosen, port closed", QStringList{"choose", OTHER, "", ""}, QStringList{OTHER},
             QStringList{OTHER});
        both("name without _V", QStringList{"choose", "fw.bin", "1", ""},
             QStringList{"Firmware name is not right!", ""}, QStringList{"固件文件名不正确！", ""});
        both("dropped name without _V", QStringList{"drop", "fw.bin", "1", ""},
             QStringList{"Firmware name is not right!", ""}, QStringList{"固件文件名不正确！", ""});
        both("no firmware", QStringList{upgrade, "", "1", ""},
             QStringList{"Please choose firmware!", ""}, QStringList{"请选择固件！", ""});
        both("empty file", QStringList{"choose", EMPTY, "1", ""},
             QStringList{"Firmware file is empty!", ""}, QStringList{"固件文件为空！", ""});
        both("unreadable file", QStringList{"choose", FOLDER, "1", ""},
             QStringList{"Firmware file cannot be read!", ""},
             QStringList{"无法读取固件文件！", ""});
        both("dropped", QStringList{"drop", GOOD, "1", ""}, QStringList{GOOD}, QStringList{GOOD});
        both("chosen during a run", QStringList{"choose", GOOD, "1", "1"}, busy, busyZh);
        both("dropped during a run", QStringList{"drop", GOOD, "1", "1"}, busy, busyZh);
        both("the other button during a run", QStringList{upgrade, "", "1", "1"},
             QStringList{"", "closed, stopped"}, QStringList{"", "closed, stopped"});
    }
    void refusals()
    {
        QFETCH(QString, language);
        QFETCH(QStringList, step);
        setLanguage(language);
        if (!step[3].isEmpty()) {
            click(m_dialog, "btn_begin_checkversion");
        }
        if (step[2].isEmpty()) {
            click(m_window, "btn_open_serial");
        }
        if (step[0] == "choose") {
            choose(step[1]);
        } else if (step[0] == "drop") {
            drop(step[1]);
        } else {
            click(m_dialog, qPrintable(step[0]));
        }
        QStringList said = m_prompts.boxes << QFileInfo(g_firmware_file).fileName();
        if (!m_dialog.isVisible()) { // a run cancelled
            said << (m_engine.m_running ? "closed, running" : "closed, stopped");
        }
        QTEST(said, "said");
    }

    // Runs to their end, each after choosing its file.
    void runs_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QVariantList>("run"); // the button, the file, the device's result
        // The status line and the run's button at the click, each status the run showed, the
        // labels and buttons at its end, what the device got from the start sequence on (hex),
        // and the status line once another file is chosen.
        QTest::addColumn<QStringList>("shown");
        const QString checked = "24000799000023240b001030302e30302e30302e30302401002100";
        const QString upgraded =
            "24000799000023240b001030312e30322e30332e303424040020080000000201fe"
            "8a01000061626364(1a x1016)450400";
        const QStringList start{"Checking device information", "Cancel"};
        const QStringList startZh{"正在查询设备信息", "取消"};
        const QStringList transfer{"Erasing Chip...", "Erase finished, begin upgrade...",
                                   "Upgrading 100%", "Waitting for completion..."};
        const QStringList transferZh{"正在擦除芯片...", "擦除完成，开始升级...", "进度100%",
                                     "等待最后完成..."};
        const QStringList upgradeEnd{"Device Model:KT62",
                                     "Current Version:01.00.00.00",
                                     "Upgrade Version:01.02.03.04",
                                     "CheckVersion",
                                     "Upgrade",
                                     upgraded,
                                     ""};
        const QStringList upgradeEndZh{"设备型号：KT62",
                                       "当前版本：01.00.00.00",
                                       "升级版本：01.02.03.04",
                                       "查询版本",
                                       "升级",
                                       upgraded,
                                       ""};
        both("version check", QVariantList{"btn_begin_checkversion", OTHER, 0},
             start + QStringList{"Checking Version...", "CheckVersion Finish!", "Device Model:",
                                 "Current Version:01.00.00.00", "Upgrade Version:00.00.00.00",
                                 "CheckVersion", "Upgrade", checked, ""},
             startZh + QStringList{"正在检查固件版本...", "检查固件版本完成!", "设备型号：",
                                   "当前版本：01.00.00.00", "升级版本：00.00.00.00", "查询版本",
                                   "升级", checked, ""});
        both("upgrade", QVariantList{"btn_begin_upgrade", GOOD, 0},
             start + transfer + QStringList{"Upgrade finished!"} + upgradeEnd,
             startZh + transferZh + QStringList{"升级完成！"} + upgradeEndZh);
        both("failed upgrade", QVariantList{"btn_begin_upgrade", GOOD, 1},
             start + transfer + QStringList{"Upgrade faild!"} + upgradeEnd,
             startZh + transferZh + QStringList{"升级失败！"} + upgradeEndZh);
    }
    void runs()
    {
        QFETCH(QString, language);
        QFETCH(QVariantList, run);
        setLanguage(language);
        choose(run[1].toString());
        m_device.result = quint8(run[2].toInt());
        QPushButton *button = child<QPushButton>(m_dialog, run[0].toString());
        button->click();
        QStringList shown{status(), button->text()};
        shown << waitForRun();
        for (const char *name : {"lbl_deivce_model", "lbl_device_firmware", "lbl_target_firmware",
                                 "btn_begin_checkversion", "btn_begin_upgrade"}) {
            shown << child(m_dialog, name)->property("text").toString();
        }
        m_device.pump(); // what the end of the run sent
        shown << m_device.seen.mid(m_device.seen.lastIndexOf(START))
                     .toHex()
                     .replace(QByteArray(1016, 0x1a).toHex(), "(1a x1016)");
        choose(GOOD);
        QTEST(shown << status(), "shown");
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
        const QString check = "btn_begin_checkversion", upgrade = "btn_begin_upgrade";
        const QString closed = "Serial port closed, operation stopped";
        const QString lost = "Serial port lost, operation stopped";
        const QString erased = "; the device may be erased and must be upgraded again";
        const QString closedZh = "串口已断开，操作已停止", lostZh = "串口连接丢失，操作已停止";
        const QString erasedZh = "；设备可能已被擦除，必须重新升级";
        row("closed, version check", check, "", false, closed, closedZh);
        row("lost, version check", check, "", true, lost, lostZh);
        row("closed before the erase", upgrade, "", false, closed, closedZh);
        row("closed while erasing", upgrade, "Erasing Chip...", false, closed + erased,
            closedZh + erasedZh);
        row("lost in the transfer", upgrade, "Erase finished, begin upgrade...", true,
            lost + erased, lostZh + erasedZh);
        row("lost awaiting the result", upgrade, "Waitting for completion...", true, lost + erased,
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
        click(m_dialog, qPrintable(button));
        QVERIFY(silenceDeviceAfter(silence));
        m_dialog.close();
        setLanguage("chinese");
        setLanguage("english");
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
        setLanguage("chinese");
        shown << bar() << status();
        setLanguage("english");
        click(m_window, "btn_open_serial");
        shown << (m_engine.m_running ? "resumed" : status());
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
