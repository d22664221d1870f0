// The upgrade dialog driven through the main window against the fake device,
// one step per row, in English, in Chinese (as the catalogue translates it) and
// in English again; and the fixed texts and sizes of every window in both
// languages.
#include "app/mainwindow.h"
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "tests/support/fakedevice.h"
#include "tests/support/promptrecorder.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimerEvent>

namespace {
// Each line is "step => what followed". A step is a button, "open" or "shut"
// for the port ("locked": it refuses to open for want of a group, "busy": for
// another program holding it, "unlocked": no more), "unplug" for a port lost,
// "close" or "show" for the dialog, "fail" for a device whose upgrades fail,
// "wait" for the run to end, "wire" for the bytes of the last run, "look" at
// the dialog, "relabel" for a switch to the other language and back, then a
// look, "window" at the other windows, "drop" and a file to drop on the
// dialog, or a firmware file to choose. What
// followed: boxes, texts or statuses, then the chosen file, the engine's
// state, whether the dialog is hidden and whether anything was sent.
const QString SCENARIO = QStringLiteral(R"(
window => KT62 Update Tool V2.06 | SerialPort | Close | Upgrade | Language（语言） | 固件加密 | 选择源文件 | 未设置 | 选择输出目录 | 未设置 | 加密 | - | idle | hidden
shut => Open | - | idle | hidden
_V00.00.00.00.bin => _V00.00.00.00.bin | idle | hidden
show => - | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
upgrade => Serial Port is not opened! | - | idle
fw.bin => Firmware name is not right! | - | idle
drop fw.bin => Firmware name is not right! | - | idle
locked => - | idle
open => Open | Cannot open ttyKT62: Permission denied; join the group dialout (sudo usermod -aG dialout $USER), then log in again | - | idle
busy => - | idle
open => Open | Cannot open ttyKT62: Device or resource busy | - | idle
unlocked => - | idle
open => Close | - | idle
upgrade => Please choose firmware! | - | idle
check => - | running | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | Cancel | Upgrade | - | running
wait => Checking Version... | CheckVersion Finish! | - | idle | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | CheckVersion Finish! | Device Model: | Current Version:01.00.00.00 | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
drop KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Cancel | KT62_V01.02.03.04.bin | running
KT62_V01.02.03.04.bin => Please stop the running operation first! | KT62_V01.02.03.04.bin | running
drop KT62_V01.02.03.04.bin => Please stop the running operation first! | KT62_V01.02.03.04.bin | running
wait => Erasing Chip... | Erase finished, begin upgrade... | Upgrading 100% | Waitting for completion... | Upgrade finished! | KT62_V01.02.03.04.bin | idle | sent
wire => 24000799000023240b001030312e30322e30332e303424040020080000000201fe8a01000061626364(1a x1016)450400 | KT62_V01.02.03.04.bin | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Upgrade finished! | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Upgrade | KT62_V01.02.03.04.bin | idle
KT62_V00.00.00.01.bin => Firmware file cannot be read! | - | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Upgrade finished! | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
fail => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
wait => Erasing Chip... | Erase finished, begin upgrade... | Upgrading 100% | Waitting for completion... | Upgrade faild! | KT62_V01.02.03.04.bin | idle | sent
check => KT62_V01.02.03.04.bin | running | sent
upgrade => - | idle | hidden
show => - | idle
KT62_V01.02.03.04.bin => KT62_V01.02.03.04.bin | idle
upgrade => KT62_V01.02.03.04.bin | running | sent
close => KT62_V01.02.03.04.bin | running | hidden
relabel => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Cancel | KT62_V01.02.03.04.bin | running | hidden
show => KT62_V01.02.03.04.bin | running
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Checking device information | Device Model:KT62 | Current Version:01.00.00.00 | Upgrade Version:01.02.03.04 | CheckVersion | Cancel | KT62_V01.02.03.04.bin | running
unplug => Open | - | idle
look => Firmware Upgrade | Choose Firmware | Upgrade Status: | Serial port closed, operation stopped | Device Model: Unknown | Current Version: Unknown | Upgrade Version: Unknown | CheckVersion | Upgrade | - | idle
open => Close | - | idle
close => - | idle | hidden)");

// The language switches around the tours: the actions' checked and enabled
// flags, the title and the open button.
const QString ENGLISH_AT_START = "english => 01 01 KT62 Update Tool V2.06 | Close";
const QString ENGLISH = "english => 10 01 KT62 Update Tool V2.06 | Close";
const QString CHINESE = "chinese => 01 10 KT62升级工具 V2.06 | 关闭";

const QByteArray START = QByteArray::fromHex("24000799000023");

// The Chinese catalogue, source text to translation, read from its source.
QMap<QString, QString> catalogue()
{
    QFile file(qEnvironmentVariable("KT62_SOURCE_DIR") + "/resources/translation_ch.ts");
    QMap<QString, QString> messages;
    if (!file.open(QIODevice::ReadOnly)) {
        return messages;
    }
    const QRegularExpression message("<source>(.*)</source>\\s*<translation>(.*)</");
    for (auto it = message.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
        const auto match = it.next();
        messages[match.captured(1)] = match.captured(2);
    }
    return messages;
}

// One item as the catalogue translates it: the catalogue source that matches
// it whole (its %1, %2... standing for anything) with the most fixed text, or
// else the longest source without placeholders that it starts with (a label
// prefix with a value behind it). Empty source when none fits.
QString translated_item(const QString &text, const QMap<QString, QString> &messages,
                        QString *source)
{
    const QRegularExpression placeholder("%(\\d)");
    int best = -1;
    QString result = text;
    for (auto it = messages.cbegin(); it != messages.cend(); ++it) {
        const QString fixed = QString(it.key()).remove(placeholder);
        if (fixed.size() <= best) {
            continue;
        }
        QString pattern;
        QStringList named; // a placeholder used twice must stand for the same text
        int at = 0;
        for (auto found = placeholder.globalMatch(it.key()); found.hasNext();) {
            const auto one = found.next();
            const QString name = "p" + one.captured(1);
            pattern += QRegularExpression::escape(it.key().mid(at, one.capturedStart() - at)) +
                       (named.contains(name) ? "\\k<" + name + ">" : "(?<" + name + ">.*)");
            named << name;
            at = one.capturedEnd();
        }
        pattern += QRegularExpression::escape(it.key().mid(at));
        const auto match = QRegularExpression("^" + pattern + "$").match(text);
        const bool prefix = !it.key().contains(placeholder) && text.startsWith(it.key());
        if (!match.hasMatch() && !prefix) {
            continue;
        }
        best = int(fixed.size());
        *source = it.key();
        result = it.value();
        if (!match.hasMatch()) {
            result += text.mid(it.key().size());
        }
        for (int n = 1; n <= 9; ++n) {
            result.replace(QString("%%1").arg(n), match.captured(QString("p%1").arg(n)));
        }
    }
    return result;
}

// A scenario line as the catalogue translates it, item by item; the sources
// used are added to reached.
QString translated(const QString &line, const QMap<QString, QString> &messages,
                   QStringList *reached)
{
    QStringList items = line.section(" => ", 1).split(" | ");
    for (QString &text : items) {
        QString source;
        text = translated_item(text, messages, &source);
        if (!source.isEmpty()) {
            *reached << source;
        }
    }
    return line.section(" => ", 0, 0) + " => " + items.join(" | ");
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

    template <typename T = QWidget> T *child(QWidget &window, const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }
    void click(QWidget &window, const char *button) { child<QPushButton>(window, button)->click(); }

    // The status line at each change until the run ends. The first query is
    // sent at once, not a second later: its timing is the engine test's.
    QStringList waitForRun()
    {
        QStringList shown;
        QObject context; // the connections end with the wait
        const auto record = [&] { shown << child<QLabel>(m_dialog, "lbl_upgrade_info")->text(); };
        QObject::connect(&m_engine, &Upgrader::upgrade_info, &context, record);
        QObject::connect(&m_engine, &Upgrader::upgrade_progress, &context, record);
        if (m_engine.m_query_timer->isActive()) {
            QTimerEvent tick(m_engine.m_query_timer->timerId());
            QCoreApplication::sendEvent(m_engine.m_query_timer, &tick);
        }
        return QTest::qWaitFor([&] { return !m_engine.m_running; }, 20000) ? shown
                                                                           : QStringList{"hung"};
    }
    // Drags a file over the dialog and drops it there, as a file manager would.
    void drop(const QString &path)
    {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        const QPoint middle = m_dialog.rect().center();
        QDragEnterEvent enter(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&m_dialog, &enter);
        QDropEvent dropped(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (enter.isAccepted()) {
            QCoreApplication::sendEvent(&m_dialog, &dropped);
        }
    }
    QString languageState()
    {
        QString state;
        for (const char *name : {"actionEnglish", "actionChinese"}) {
            const QAction *action = child<QAction>(m_window, name);
            state += QString("%1%2 ").arg(action->isChecked()).arg(action->isEnabled());
        }
        return state + m_window.windowTitle() + " | " +
               child<QPushButton>(m_window, "btn_open_serial")->text();
    }
    // Every text and title of the windows' widgets, in the order they hold them.
    static QStringList texts(std::initializer_list<QWidget *> windows)
    {
        QStringList out;
        for (QWidget *window : windows) {
            out << window->windowTitle();
            for (QWidget *w : window->findChildren<QWidget *>()) {
                out << w->property("text").toString() << w->property("title").toString();
            }
        }
        return out;
    }
    // What followed a step (see the scenario).
    QString act(const QString &step)
    {
        QStringList out;
        QPushButton *port = child<QPushButton>(m_window, "btn_open_serial");
        const auto toggle = [&] {
            port->click();
            out << port->text() << m_window.statusBar()->currentMessage();
        };
        // The port refuses to open for this reason; whether this user may use its node tells
        // a missing group membership from a port held by another program.
        const auto refuse = [this](const char *reason, bool accessible) {
            return [=] {
                m_device.line.open_error = reason;
                set_port_node_facts_source([accessible](const QString &) {
                    return std::optional<PortNodeFacts>({true, accessible, "dialout", true});
                });
            };
        };
        const QHash<QString, std::function<void()>> actions{
            {"open", toggle},
            {"shut", toggle},
            {"locked", refuse("Permission denied", false)},
            {"busy", refuse("Device or resource busy", true)},
            {"unlocked",
             [this] {
                 m_device.line.open_error.clear();
                 set_port_node_facts_source(nullptr);
             }},
            {"unplug",
             [&] {
                 g_gpi.handle_error(QSerialPort::ResourceError);
                 out << port->text() << m_window.statusBar()->currentMessage();
             }},
            {"close", [this] { m_dialog.close(); }},
            {"show", [this] { m_dialog.show(); }},
            {"fail", [this] { m_device.result = 0x01; }},
            {"upgrade", [this] { click(m_dialog, "btn_begin_upgrade"); }},
            {"check", [this] { click(m_dialog, "btn_begin_checkversion"); }},
            {"wait", [&] { out = waitForRun(); }},
            {"wire",
             [&] {
                 const QByteArray run = m_device.seen.mid(m_device.seen.lastIndexOf(START));
                 out << run.toHex().replace(QByteArray(1016, 0x1a).toHex(), "(1a x1016)");
             }},
            {"look", [&] { out = texts({&m_dialog}); }},
            {"relabel",
             [&] {
                 for (int i = 0; i < 2; ++i) { // to the other language and back
                     const bool english = child<QAction>(m_window, "actionEnglish")->isChecked();
                     child<QAction>(m_window, english ? "actionChinese" : "actionEnglish")
                         ->trigger();
                 }
                 out = texts({&m_dialog});
             }},
            {"window",
             [&] {
                 out = texts({&m_window, &top_level<DialogEncrypt>()});
             }},
            {"english", [this] { child<QAction>(m_window, "actionEnglish")->trigger(); }},
            {"chinese", [this] { child<QAction>(m_window, "actionChinese")->trigger(); }}};
        const int boxes = m_prompts.boxes.size();
        const qint64 written = m_device.line.total;
        if (actions.contains(step)) {
            actions[step]();
        } else if (step.startsWith("drop ")) {
            drop(m_dir.filePath(step.mid(5)));
        } else {
            m_prompts.answers = QStringList{m_dir.filePath(step)};
            click(m_dialog, "btn_choose_firmware");
        }
        if (step == "english" || step == "chinese") {
            return step + " => " + languageState();
        }
        out = m_prompts.boxes.mid(boxes) + out;
        out << (g_firmware_file.isEmpty() ? "-" : QFileInfo(g_firmware_file).fileName())
            << (m_engine.m_running ? "running" : "idle") << (m_dialog.isVisible() ? "" : "hidden")
            << (m_device.line.total > written ? "sent" : "");
        out.removeAll(QString());
        return step + " => " + out.join(" | ");
    }

private slots:
    void initTestCase()
    {
        const QByteArray image = QByteArray::fromHex("8a01000061626364");
        QVERIFY(write_file(m_dir.filePath("KT62_V01.02.03.04.bin"), image));
        QVERIFY(write_file(m_dir.filePath("_V00.00.00.00.bin"), image));
        QVERIFY(write_file(m_dir.filePath("KT62_V00.00.00.01.bin"), {}));
    }
    void cleanupTestCase() { g_gpi.set_device(nullptr); }

    // The tour, one row per step: opened port, English clicked at start (and
    // again), the tour in English, in Chinese, in English again, and Chinese once
    // more.
    void tour_data()
    {
        QTest::addColumn<QString>("line");
        const QStringList english = SCENARIO.split('\n', Qt::SkipEmptyParts);
        const QMap<QString, QString> messages = catalogue();
        QStringList chinese, reached;
        for (const QString &line : english) {
            chinese << translated(line, messages, &reached);
        }
        const QStringList tours[] = {
            QStringList{"open => Close | - | idle | hidden", ENGLISH_AT_START, ENGLISH} + english,
            QStringList{CHINESE} + chinese, QStringList{ENGLISH} + english, QStringList{CHINESE}};
        const char *const names[] = {"en", "zh", "en again", "zh again"};
        for (int tour = 0; tour < 4; ++tour) {
            for (int i = 0; i < tours[tour].size(); ++i) {
                const QString &line = tours[tour].at(i);
                QTest::addRow("%s %02d %s", names[tour], i, qPrintable(line.section(" => ", 0, 0)))
                    << line;
            }
        }
    }
    void tour()
    {
        QFETCH(QString, line);
        const QString step = line.section(" => ", 0, 0);
        if (step == "english" || step == "chinese") {
            m_device.result = 0x00; // each tour starts with a device that succeeds
        }
        QCOMPARE(act(step), line);
    }
    // The fixed titles and sizes of the three windows, and Qt's own texts, in both languages.
    void fixedOutputs_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("expected"); // each window's title, minimum and maximum size
        QTest::newRow("chinese")
            << "chinese"
            << "KT62升级工具 V2.06 320x180 320x180 | 固件升级 500x300 500x300 | "
               "固件加密 640x193 640x193 | 确定";
        QTest::newRow("english") << "english"
                                 << "KT62 Update Tool V2.06 320x180 320x180 | Firmware Upgrade "
                                    "500x300 500x300 | 固件加密 640x193 640x193 | OK";
    }
    void fixedOutputs()
    {
        QFETCH(QString, language);
        act(language);
        const auto size = [](const QSize &s) {
            return QString("%1x%2").arg(s.width()).arg(s.height());
        };
        QStringList shown;
        for (QWidget *window :
             std::initializer_list<QWidget *>{&m_window, &m_dialog, &top_level<DialogEncrypt>()}) {
            shown << window->windowTitle() + " " + size(window->minimumSize()) + " " +
                         size(window->maximumSize());
        }
        QMessageBox box;
        box.setStandardButtons(QMessageBox::Ok);
        QTEST((shown << box.button(QMessageBox::Ok)->text()).join(" | "), "expected");
    }
    // Every catalogue entry shows up somewhere in the tour.
    void catalogueReached()
    {
        const QMap<QString, QString> messages = catalogue();
        QVERIFY(!messages.isEmpty());
        QStringList reached;
        for (const QString &line : SCENARIO.split('\n', Qt::SkipEmptyParts)) {
            translated(line, messages, &reached);
        }
        QStringList unreached = messages.keys();
        for (const QString &source : reached) {
            unreached.removeAll(source);
        }
        QCOMPARE(unreached, QStringList());
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
