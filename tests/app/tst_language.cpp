// The upgrade dialog driven through the main window against the simulated device, and the fixed
// texts and sizes of every window, in English and in Chinese (as the catalogue translates it).
// Each case starts with the port open, the dialog shown and idle, its language chosen.
#include "app/mainwindow.h"
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "serial/port_list.h"
#include "tests/support/fakeline.h"
#include "tests/support/promptrecorder.h"
#include "tools/sim/sim_device.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimerEvent>
#include <optional>

namespace {
const QString GOOD = "KT62_V01.02.03.04.bin";   // the image 8a01000061626364
const QString OTHER = "_V00.00.00.00.bin";      // the same image
const QString EMPTY = "KT62_V00.00.00.01.bin";  // 0 bytes
const QString FOLDER = "KT62_V00.00.00.02.bin"; // a folder: cannot be read
const QString CHECK = "btn_begin_checkversion", UPGRADE = "btn_begin_upgrade";
const QStringList INFO_LABELS{"lbl_deivce_model", "lbl_device_firmware", "lbl_target_firmware"};

const auto texts_of = [](const char *joined) { return QString(joined).split('|'); }; // by "|"

// The Chinese of the English texts these tests expect, each after its English ("OK" is Qt's).
const QStringList ZH = texts_of(
    "KT62 Update Tool|KT62升级工具|SerialPort|串口|Close|关闭|Upgrade|升级|OK|确定|"
    "Firmware Upgrade|固件升级|Choose Firmware|选择固件|CheckVersion|查询版本|Cancel|取消|"
    "Upgrade Status:|升级状态：|Device Model: Unknown|设备型号：未知|"
    "Current Version: Unknown|当前版本：未知|Upgrade Version: Unknown|升级版本：未知|"
    "Device Model:|设备型号：|Current Version:|当前版本：|Upgrade Version:|升级版本：|"
    "Upgrading |进度|Checking device information|正在查询设备信息|"
    "Serial Port is not opened!|串口未打开！|Please choose firmware!|请选择固件！|"
    "Firmware name is not right!|固件文件名不正确！|"
    "Firmware file cannot be read!|无法读取固件文件！|Firmware file is empty!|固件文件为空！|"
    "Please stop the running operation first!|请先停止当前操作！|"
    "Serial port closed, operation stopped|串口已断开，操作已停止|"
    "Serial port lost, operation stopped|串口连接丢失，操作已停止|"
    "; the device may be erased and must be upgraded again|；设备可能已被擦除，必须重新升级|"
    "Checking Version...|正在检查固件版本...|CheckVersion Finish!|检查固件版本完成!|"
    "Erasing Chip...|正在擦除芯片...|Erase finished, begin upgrade...|擦除完成，开始升级...|"
    "Waitting for completion...|等待最后完成...|Upgrade finished!|升级完成！");

// A text in the language: one that begins with an English text above takes its Chinese there,
// the longest that fits, and its rest is looked up again ("Device Model:KT62").
QString in(bool chinese, const QString &text)
{
    int found = -1;
    for (int i = 0; chinese && i < ZH.size(); i += 2) {
        if (text.startsWith(ZH[i]) && (found < 0 || ZH[i].size() > ZH[found].size())) {
            found = i;
        }
    }
    return found < 0 ? text : ZH[found + 1] + in(chinese, text.mid(ZH[found].size()));
}
QStringList in(bool chinese, QStringList texts)
{
    for (QString &text : texts) {
        text = in(chinese, text);
    }
    return texts;
}

// A case in a language, named in its tag (where init() finds it); the texts a case expects are
// given in English.
QTestData &row_in(bool chinese, const char *tag)
{
    return QTest::addRow("%s: %s", chinese ? "zh" : "en", tag);
}

template <typename T> T &top_level()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<T *>(widget)) {
            return *found;
        }
    }
    qFatal("no top-level %s", T::staticMetaObject.className());
}

// The simulated KT62 on a fake line: it reads and answers on each turn of its poll, and falls
// silent when the poll stops.
struct Device
{
    FakeLine line;
    QTimer poll;
    std::optional<SimDevice> sim;
    Device()
    {
        QObject::connect(&poll, &QTimer::timeout, [this] {
            sim->receive(line.take_sent(), SimClock::now());
            sim->tick(SimClock::now());
        });
    }
    void reset() // a fresh device: nothing heard, nothing left to answer
    {
        DeviceOptions options;
        options.erase_time = {};
        sim.emplace(
            options, [this](const QByteArray &bytes, bool) { line.feed(bytes); },
            [](const QString &) {}, [] { return 0.0; });
        line.readAll();
        line.take_sent();
        poll.start(1);
    }
};
} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    Device m_device;
    PromptRecorder m_prompts;
    // The device is the only port there is, behind the program's channel.
    const bool m_ports = (set_port_name_source([] { return QStringList{"ttyKT62"}; }),
                          g_gpi.set_device(&m_device.line), true);
    MainWindow m_window;
    DialogUpgrade &m_dialog = top_level<DialogUpgrade>();
    const Upgrader &m_engine = m_dialog.upgrader();
    bool m_chinese = false; // the case's language

    template <typename T = QWidget> T *child(QWidget &in, const QString &name)
    {
        return in.findChild<T *>(name);
    }
    void click(QWidget &in, const QString &button) { child<QPushButton>(in, button)->click(); }
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
    QStringList labels(const QStringList &names)
    {
        QStringList texts;
        for (const QString &name : names) {
            texts << child(m_dialog, name)->property("text").toString();
        }
        return texts;
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
        setLanguage(m_chinese = QByteArray(QTest::currentDataTag()).startsWith("zh"));
        if (!g_gpi.isOpen()) {
            click(m_window, "btn_open_serial");
        }
        m_device.reset();
        m_dialog.close();
        m_dialog.show(); // an opening while idle starts afresh
        m_prompts.boxes.clear();
    }
    void cleanup() { g_gpi.closeSerialPort(); } // ends any run
    void cleanupTestCase() { g_gpi.set_device(nullptr); }

    // What each window shows at rest in each language (the encryption dialog is Chinese in
    // both), Qt's own texts, the windows' fixed sizes; the language chosen is checked and
    // disabled in the menu, the other unchecked and enabled.
    void languages()
    {
        const QList<QWidget *> windows{&m_window, &m_dialog, &top_level<DialogEncrypt>()};
        const QList<QSize> sizes{{320, 180}, {500, 300}, {640, 193}};
        QAction *actions[] = {child<QAction>(m_window, "actionEnglish"),
                              child<QAction>(m_window, "actionChinese")};
        for (const bool chinese : {true, false}) {
            actions[chinese]->trigger();
            QCOMPARE((QList<bool>{actions[chinese]->isChecked(), actions[chinese]->isEnabled(),
                                  actions[!chinese]->isChecked(), actions[!chinese]->isEnabled()}),
                     (QList<bool>{true, false, false, true}));
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
            QCOMPARE(texts, in(chinese, texts_of("KT62 Update Tool V2.06|SerialPort|Close|Upgrade|"
                                                 "Language（语言）|Firmware Upgrade|"
                                                 "Choose Firmware|Upgrade Status:|"
                                                 "Device Model: Unknown|Current Version: Unknown|"
                                                 "Upgrade Version: Unknown|CheckVersion|Upgrade|"
                                                 "固件加密|选择源文件|未设置|选择输出目录|未设置|"
                                                 "加密|OK")));
        }
    }

    // What the dialog refuses, and what it takes, by a box in the case's language.
    void refusals_data()
    {
        QTest::addColumn<QString>("file"); // chosen, or dropped; none: "Upgrade" pressed
        QTest::addColumn<bool>("dropped");
        QTest::addColumn<bool>("open");      // the port is open
        QTest::addColumn<bool>("running");   // a version check runs
        QTest::addColumn<QString>("box");    // none: no box
        QTest::addColumn<QString>("chosen"); // the file chosen after
        const auto row = [](const char *tag, QString file, bool dropped, bool open, bool running,
                            QString box, QString chosen = "") {
            for (const bool chinese : {false, true}) {
                row_in(chinese, tag) << file << dropped << open << running << box << chosen;
            }
        };
        const QString busy = "Please stop the running operation first!";
        row("upgrade, port closed", "", false, false, false, "Serial Port is not opened!");
        row("name without _V", "fw.bin", false, true, false, "Firmware name is not right!");
        row("no firmware", "", false, true, false, "Please choose firmware!");
        row("empty file", EMPTY, false, true, false, "Firmware file is empty!");
        row("unreadable file", FOLDER, false, true, false, "Firmware file cannot be read!");
        row("dropped", OTHER, true, true, false, "", OTHER);
        row("chosen during a run", GOOD, false, true, true, busy);
        row("dropped during a run", GOOD, true, true, true, busy);
        // The other button of a run cancels it and closes the dialog.
        row("the other button during a run", "", false, true, true, "");
    }
    void refusals()
    {
        QFETCH(QString, file);
        QFETCH(bool, dropped);
        QFETCH(bool, running);
        QFETCH(QString, box);
        QFETCH(bool, open);
        if (running) {
            click(m_dialog, CHECK);
        }
        if (!open) {
            click(m_window, "btn_open_serial");
        }
        file.isEmpty() ? click(m_dialog, UPGRADE) : dropped ? drop(file) : choose(file);
        QCOMPARE(m_prompts.boxes, box.isEmpty() ? QStringList() : QStringList{in(m_chinese, box)});
        QTEST(QFileInfo(g_firmware_file).fileName(), "chosen");
        const bool closed = running && file.isEmpty();
        QCOMPARE(m_dialog.isVisible(), !closed);
        QCOMPARE(m_engine.m_running, running && !closed);
    }

    // Runs to their end, each after choosing its file: the status line and the run's button at
    // the click, each status the run showed, the labels and buttons at its end, and the status
    // line once another file is chosen. An opening after the run starts afresh: no status,
    // nothing chosen, nothing known of the device.
    void runs_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("shown");
        const QStringList start{"Checking device information", "Cancel"};
        const QStringList upgrade{"Erasing Chip...", "Erase finished, begin upgrade...",
                                  "Upgrading 100%", "Waitting for completion...",
                                  "Upgrade finished!"};
        const QStringList end = texts_of("Device Model:KT62|Current Version:01.00.00.00|"
                                         "Upgrade Version:01.02.03.04|CheckVersion|Upgrade|");
        const QStringList check = texts_of("Checking Version...|CheckVersion Finish!|Device Model:|"
                                           "Current Version:01.00.00.00|"
                                           "Upgrade Version:00.00.00.00|CheckVersion|Upgrade|");
        for (const bool chinese : {false, true}) {
            row_in(chinese, "version check") << CHECK << OTHER << start + check;
            row_in(chinese, "upgrade") << UPGRADE << GOOD << start + upgrade + end;
        }
    }
    void runs()
    {
        QFETCH(QString, button);
        QFETCH(QString, file);
        QFETCH(QStringList, shown);
        choose(file);
        click(m_dialog, button);
        QStringList seen{status(), labels({button}).first()};
        seen << waitForRun() << labels(INFO_LABELS + QStringList{CHECK, UPGRADE});
        choose(GOOD);
        seen << status();
        m_dialog.close();
        m_dialog.show();
        seen << status() << g_firmware_file << labels(INFO_LABELS);
        QCOMPARE(seen, in(m_chinese, shown + texts_of("||Device Model: Unknown|"
                                                      "Current Version: Unknown|"
                                                      "Upgrade Version: Unknown")));
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
        QTest::addColumn<QString>("notice");
        const QString closed = "Serial port closed, operation stopped";
        const QString lost = "Serial port lost, operation stopped";
        const QString erased = "; the device may be erased and must be upgraded again";
        row_in(false, "lost, version check") << CHECK << "" << true << lost;
        row_in(true, "closed while erasing")
            << UPGRADE << "Erasing Chip..." << false << closed + erased;
        row_in(false, "lost in the transfer")
            << UPGRADE << "Erase finished, begin upgrade..." << true << lost + erased;
        row_in(true, "closed awaiting the result")
            << UPGRADE << "Waitting for completion..." << false << closed + erased;
    }
    void stopNotice()
    {
        QFETCH(QString, button);
        QFETCH(QString, silence);
        QFETCH(QString, notice);
        QFETCH(bool, lost);
        choose(GOOD);
        click(m_dialog, button);
        QVERIFY(silenceDeviceAfter(silence));
        m_dialog.close();
        setLanguage(!m_chinese);
        setLanguage(m_chinese);
        m_dialog.show();
        QStringList shown{status(), labels({button}).first()};
        m_dialog.close();
        if (lost) {
            g_gpi.handle_error(QSerialPort::ResourceError);
        } else {
            click(m_window, "btn_open_serial");
        }
        shown << bar();
        m_dialog.show();
        shown << status();
        setLanguage(!m_chinese);
        shown << bar() << status();
        setLanguage(m_chinese);
        click(m_window, "btn_open_serial");
        QVERIFY(!m_engine.m_running);
        shown << status();
        choose(GOOD);
        const QString running = silence.isEmpty() ? "Checking device information" : silence;
        const QString other = in(!m_chinese, notice);
        const QStringList expected = in(m_chinese, {running, "Cancel", notice, notice}) +
                                     QStringList{other, other, in(m_chinese, notice), ""};
        QCOMPARE(shown << status(), expected);
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
