#include "app/mainwindow.h"
#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "serial/gpi.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "tests/support/testpty.h"
#include "widgets/elidedlabel.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
QStringList g_ports;
constexpr int FRAME_SLACK = 10; // pixels a window frame may shift a centre by
enum Node                       // how a port's device node treats this user
{
    Usable,
    RefusedToUser,  // its group may use it
    RefusedToGroup, // and its group may not either
};

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
        return m_window->findChild<T *>(QLatin1String(name));
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
    void firstScan_data()
    {
        QTest::addColumn<QStringList>("reported");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("plain string order")
            << QStringList{"COM3", "COM10", "COM2"} << QStringList{"COM10", "COM2", "COM3"};
        QTest::newRow("listed once")
            << QStringList{"COM4", "COM4", "COM1"} << QStringList{"COM1", "COM4"};
        QTest::newRow("case-sensitive")
            << QStringList{"com1", "COM1"} << QStringList{"COM1", "com1"};
        QTest::newRow("no ports: no placeholders") << QStringList{} << QStringList{};
    }
    void firstScan()
    {
        QFETCH(QStringList, reported);
        g_ports = reported;
        MainWindow window;
        QTEST(entries(window.findChild<QComboBox *>(QStringLiteral("cb_port_idx"))), "listed");
    }
    void sameNamesLeaveBoxAlone()
    {
        box()->setCurrentIndex(1);
        g_ports = QStringList{"COM3", "COM1", "COM3"};
        scan(false);
        QCOMPARE(box()->currentIndex(), 1); // not rebuilt
        scan(true);
        QCOMPARE(box()->currentIndex(), 0);
    }
    // One adapter replaced by another between two scans.
    void timerFollowsNames()
    {
        g_ports = QStringList{"COM1", "ttyUSB0"};
        QTRY_COMPARE_WITH_TIMEOUT(entries(box()), QStringList({"COM1", "ttyUSB0"}), 5000);
    }
    void openedPortStaysSelected_data()
    {
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("closedFirst");
        QTest::addColumn<QString>("current");
        QTest::newRow("port added")
            << QStringList{"COM1", "COM2", "COM4", "COM9"} << false << "COM4";
        QTest::newRow("port removed") << QStringList{"COM4"} << false << "COM4";
        QTest::newRow("closed, then rebuilt") << QStringList{"COM1", "COM4"} << true << "COM4";
        QTest::newRow("opened port gone") << QStringList{"COM5", "COM2"} << false << "COM2";
    }
    void openedPortStaysSelected()
    {
        QFETCH(QStringList, after);
        QFETCH(bool, closedFirst);
        g_ports = QStringList{"COM1", "COM4", "COM9"};
        scan(true);
        box()->setCurrentText(QStringLiteral("COM4"));
        emit g_gpi.serial_status_changed(true);
        if (closedFirst) {
            emit g_gpi.serial_status_changed(false);
            box()->setCurrentText(QStringLiteral("COM1"));
        }
        g_ports = after;
        scan(true);
        QTEST(box()->currentText(), "current");
    }
    void buttonFollowsChannel()
    {
        TestPty pty;
        g_ports = QStringList{pty.slavePath(), "COM1"};
        scan(true);
        box()->setCurrentText(pty.slavePath());
        QTest::mouseClick(openButton(), Qt::LeftButton);
        QVERIFY(g_gpi.isOpen());
        QCOMPARE(openButton()->text(), QStringLiteral("Close"));
        // Another entry chosen while open: the next click still closes.
        box()->setCurrentText(QStringLiteral("COM1"));
        QTest::mouseClick(openButton(), Qt::LeftButton);
        QVERIFY(!g_gpi.isOpen());
        QCOMPARE(openButton()->text(), QStringLiteral("Open"));
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
    // clears it.
    void openFailureInStatusBar_data()
    {
        QTest::addColumn<QString>("port");    // "pty", held by another channel; else in a folder
                                              // that holds only the file "plain"
        QTest::addColumn<int>("node");        // how the port's node treats this user
        QTest::addColumn<QString>("english"); // %1: the port
        QTest::addColumn<QString>("chinese");
        const auto row = [](const char *tag, QString port, Node node, QString en, QString zh) {
            QTest::newRow(tag) << port << int(node) << en << zh;
        };
        row("held by another program", "pty", Usable, "Cannot open %1: in use by another program",
            "无法打开%1：被其他程序占用");
        row("group to join", "pty", RefusedToUser,
            "Cannot open %1: permission denied; join the group dialout (sudo usermod -aG dialout "
            "$USER), then log in again",
            "无法打开%1：没有访问权限；请加入用户组dialout（sudo usermod -aG dialout "
            "$USER），然后重新登录");
        row("no group to join", "pty", RefusedToGroup, "Cannot open %1: permission denied",
            "无法打开%1：没有访问权限");
        row("no such port", "missing", Usable, "Cannot open %1: no such port",
            "无法打开%1：串口不存在");
        row("anything else", "plain", Usable, "Cannot open %1: Inappropriate ioctl for device",
            "无法打开%1：Inappropriate ioctl for device");
    }
    void openFailureInStatusBar()
    {
        QFETCH(QString, port);
        QFETCH(int, node);
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
        if (node != Usable) {
            set_port_node_facts_source([node](const QString &) {
                return std::optional<PortNodeFacts>(
                    {true, false, "dialout", node == RefusedToUser});
            });
        }
        openButton()->click();
        set_port_node_facts_source({});
        const auto *status = child<ElidedLabel>("lbl_status");
        QVERIFY(status);
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
        openButton()->click();
        QVERIFY(g_gpi.isOpen());
        QCOMPARE(status->text(), QString());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
