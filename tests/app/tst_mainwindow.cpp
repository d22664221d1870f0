#include "app/mainwindow.h"
#include "serial/gpi.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "tests/support/testpty.h"
#include "widgets/elidedlabel.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QScreen>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
QStringList g_ports;
constexpr int FRAME_SLACK = 10; // pixels a window frame may shift a centre by

QStringList entries(const QComboBox *box)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i) {
        out << box->itemText(i);
    }
    return out;
}

// Rejects the modal dialog that bringUp shows and returns it (none when bringUp returned
// without showing one); frame receives where the dialog was.
QWidget *close_next_modal(const std::function<void()> &bringUp, QRect *frame)
{
    QWidget *seen = nullptr;
    QObject answer; // gone with this call, answered or not
    QTimer::singleShot(0, &answer, [&seen, frame] {
        if ((seen = QApplication::activeModalWidget())) {
            *frame = seen->frameGeometry();
            qobject_cast<QDialog *>(seen)->reject();
        }
    });
    bringUp();
    return seen;
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<MainWindow> m_window;

    template <typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(name);
    }
    QComboBox *box() const { return child<QComboBox>("cb_port_idx"); }
    QPushButton *openButton() const { return child<QPushButton>("btn_open_serial"); }
    // The scan as the timer runs it, or forced as a language switch does.
    void scan(bool forced)
    {
        QMetaObject::invokeMethod(m_window.get(), "update_serial_port_list", Q_ARG(bool, forced));
    }

private slots:
    void init()
    {
        g_ports = QStringList{"COM3", "COM1"};
        set_port_name_source([] { return g_ports; });
        m_window = std::make_unique<MainWindow>();
    }
    void cleanup()
    {
        g_gpi.closeSerialPort();
        if (child<QAction>("actionChinese")->isChecked()) { // the catalogue outlives the window
            child<QAction>("actionEnglish")->trigger();
        }
        m_window.reset();
        set_port_name_source({});
    }
    // The box lists the names of a scan in plain string order, each once; a scan of the same
    // names leaves it alone, a forced one (as a language switch makes) rebuilds it, keeping the
    // port opened last. The timer follows one adapter replaced by another between two scans.
    void timerFollowsNames_data()
    {
        QTest::addColumn<QStringList>("first"); // the names when the window is made
        QTest::addColumn<int>("opened");        // the port in the box: 1 opened, 2 then closed
        QTest::addColumn<QStringList>("later"); // the names of the next scan
        QTest::addColumn<int>("scan");          // -1: the timer's own; 0: as the timer; 1: forced
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("current");
        const auto row = [](const char *tag, QStringList first, int opened, QStringList later,
                            int scan, QStringList listed, const char *current) {
            QTest::newRow(tag) << first << opened << later << scan << listed << QString(current);
        };
        const QStringList three{"COM1", "COM4", "COM9"};
        const QStringList ports{"COM3", "COM10", "com1", "COM4", "COM4", "COM1"};
        row("first scan", ports, 0, ports, 0, {"COM1", "COM10", "COM3", "COM4", "com1"}, "COM4");
        row("no ports: no placeholders", {}, 0, {}, 0, {}, "");
        row("same names", three, 0, {"COM4", "COM9", "COM1", "COM9"}, 0, three, "COM4");
        row("same names, forced", three, 0, three, 1, three, "COM1");
        row("adapter swapped", three, 0, {"COM1", "COM4", "ttyUSB0"}, -1,
            {"COM1", "COM4", "ttyUSB0"}, "COM1");
        row("opened port kept", three, 1, {"COM2", "COM4"}, 1, {"COM2", "COM4"}, "COM4");
        row("closed, then rebuilt", three, 2, three, 1, three, "COM4");
        row("opened port gone", three, 1, {"COM5", "COM2"}, 1, {"COM2", "COM5"}, "COM2");
    }
    void timerFollowsNames()
    {
        QFETCH(QStringList, first);
        QFETCH(int, opened);
        QFETCH(QStringList, later);
        QFETCH(int, scan);
        QFETCH(QStringList, listed);
        g_ports = first;
        m_window = std::make_unique<MainWindow>();
        box()->setCurrentText("COM4");
        if (opened) {
            emit g_gpi.serial_status_changed(true);
        }
        if (opened == 2) {
            emit g_gpi.serial_status_changed(false);
            box()->setCurrentText("COM1");
        }
        g_ports = later;
        if (scan >= 0) {
            this->scan(scan == 1);
        }
        QTRY_COMPARE_WITH_TIMEOUT(entries(box()), listed, 5000);
        QTEST(box()->currentText(), "current");
    }
    // F7 and the upgrade button each open their dialog over the window: centred, give or take
    // its frame, and moved inside the screen's available area near its edges. F6 opens nothing.
    void dialogsPlaced_data()
    {
        QTest::addColumn<QPoint>("corner"); // of the window in the available area; -1: far edge
        QTest::addColumn<bool>("centred");
        QTest::newRow("away from the edges") << QPoint(300, 200) << true;
        QTest::newRow("top-left corner") << QPoint(0, 0) << false;
        QTest::newRow("bottom-right corner") << QPoint(-1, -1) << false;
    }
    void dialogsPlaced()
    {
        QFETCH(QPoint, corner);
        QFETCH(bool, centred);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        const QRect available = m_window->screen()->availableGeometry();
        const QSize size = m_window->frameGeometry().size();
        const QPoint far(available.width() - size.width(), available.height() - size.height());
        m_window->move(available.topLeft() + (corner.x() < 0 ? far : corner));
        MainWindow *w = m_window.get();
        const std::pair<std::function<void()>, QString> openers[] = {
            {[w] { QTest::keyClick(w, Qt::Key_F7); }, "DialogEncrypt"},
            {[this] { QTest::mouseClick(child<QPushButton>("btn_upgrade"), Qt::LeftButton); },
             "DialogUpgrade"}};
        QRect frame;
        for (const auto &[open, name] : openers) {
            const QWidget *dialog = close_next_modal(open, &frame);
            QCOMPARE(QString(dialog ? dialog->metaObject()->className() : "none"), name);
            const int off = (frame.center() - m_window->frameGeometry().center()).manhattanLength();
            QVERIFY2(available.contains(frame), qPrintable(name));
            QCOMPARE(off <= FRAME_SLACK, centred);
        }
        QCOMPARE(close_next_modal([w] { QTest::keyClick(w, Qt::Key_F6); }, &frame), nullptr);
    }
    // Why a port did not open, in both languages, on a permanent label: it fits the window,
    // its tooltip is the whole text, a status tip (the Language menu's) leaves it, a good open
    // clears it. The button follows the channel: open, it closes whatever entry is chosen.
    void openFailureInStatusBar_data()
    {
        QTest::addColumn<QString>("port"); // "pty", held by another channel; else in a folder
                                           // that holds only the file "plain"
        QTest::addColumn<int>("refused");  // the node refuses this user: 1 not its group, 2 it too
        QTest::addColumn<QString>("english"); // %1: the port
        QTest::addColumn<QString>("chinese");
        const auto row = [](const char *tag, QString port, int refused, QString en, QString zh) {
            QTest::newRow(tag) << port << refused << en << zh;
        };
        row("held by another program", "pty", 0, "Cannot open %1: in use by another program",
            "无法打开%1：被其他程序占用");
        row("group to join", "pty", 1,
            "Cannot open %1: permission denied; join the group dialout (sudo usermod -aG dialout "
            "$USER), then log in again",
            "无法打开%1：没有访问权限；请加入用户组dialout（sudo usermod -aG dialout "
            "$USER），然后重新登录");
        row("no group to join", "pty", 2, "Cannot open %1: permission denied",
            "无法打开%1：没有访问权限");
        row("no such port", "missing", 0, "Cannot open %1: no such port", "无法打开%1：串口不存在");
        row("anything else", "plain", 0, "Cannot open %1: Inappropriate ioctl for device",
            "无法打开%1：Inappropriate ioctl for device");
    }
    void openFailureInStatusBar()
    {
        QFETCH(QString, port);
        QFETCH(int, refused);
        QFETCH(QString, english);
        QFETCH(QString, chinese);
        m_window->show(); // a status message hides only the bar's visible widgets
        TestPty pty;
        GPI holder;
        holder.openSerialPort(pty.slavePath());
        QTemporaryDir dir;
        QVERIFY(QFile(dir.filePath("plain")).open(QIODevice::WriteOnly));
        g_ports = QStringList{port = port == "pty" ? pty.slavePath() : dir.filePath(port)};
        scan(true);
        if (refused) {
            set_port_node_facts_source([refused](const QString &) {
                return std::optional<PortNodeFacts>({true, false, "dialout", refused == 1});
            });
        }
        openButton()->click();
        set_port_node_facts_source({});
        const auto *status = child<ElidedLabel>("lbl_status");
        QCOMPARE(status->text(), english.arg(port));
        QCOMPARE(status->toolTip(), status->text());
        QVERIFY(status->fontMetrics().horizontalAdvance(status->shown_text()) <= status->width());
        QVERIFY(status->geometry().right() < m_window->width());
        child<QAction>("actionChinese")->trigger();
        QCOMPARE(status->text(), chinese.arg(port));
        child<QAction>("actionEnglish")->trigger();
        QStatusTipEvent tip("Language");
        QCoreApplication::sendEvent(m_window.get(), &tip);
        QVERIFY(status->isVisibleTo(m_window.get()));
        QCOMPARE(status->text(), english.arg(port));
        holder.closeSerialPort();
        g_ports = QStringList{pty.slavePath()};
        scan(true);
        QCOMPARE(openButton()->text(), QString("Open"));
        QTest::mouseClick(openButton(), Qt::LeftButton);
        QVERIFY(g_gpi.isOpen());
        QCOMPARE(status->text(), QString());
        QCOMPARE(openButton()->text(), QString("Close"));
        g_ports << "COM1";
        scan(true);
        box()->setCurrentText("COM1");
        QTest::mouseClick(openButton(), Qt::LeftButton);
        QVERIFY(!g_gpi.isOpen());
        QCOMPARE(openButton()->text(), QString("Open"));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
