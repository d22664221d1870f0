#include "dialogencrypt.h"
#include "dialogupgrade.h"
#include "gpi.h"
#include "mainwindow.h"
#include "port_list.h"
#include "testpty.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
QStringList g_ports;

QStringList boxEntries(QComboBox *box)
{
    QStringList entries;
    for (int i = 0; i < box->count(); ++i) {
        entries << box->itemText(i);
    }
    return entries;
}

// Closes whatever modal dialog is up once the event loop has shown it, and
// records which one it was.
void closeModalSoon(QWidget **seen)
{
    QTimer::singleShot(0, [seen] {
        QWidget *modal = QApplication::activeModalWidget();
        *seen = modal;
        if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog->reject();
        }
    });
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void titleAndFixedSize();
    void firstScan_data();
    void firstScan();
    void sameCountLeavesBoxAlone();
    void countChangeRebuildsOnTimer();
    void openedPortStaysSelected_data();
    void openedPortStaysSelected();
    void closingKeepsRememberedPort();
    void buttonFollowsChannelState();
    void openAndCloseRealPort();
    void f7ShowsEncryptionDialog();
    void upgradeButtonShowsUpgradeDialog();

private:
    std::unique_ptr<MainWindow> m_window;
    Ui::MainWindow *ui() const { return m_window->ui; }
    void rescan(bool force) { m_window->update_serial_port_list(force); }
};

void TestMainWindow::init()
{
    g_ports = QStringList{QStringLiteral("COM3"), QStringLiteral("COM1")};
    setPortNameSource([] { return g_ports; });
    m_window = std::make_unique<MainWindow>();
}

void TestMainWindow::cleanup()
{
    g_gpi.closeSerialPort();
    m_window.reset();
    setPortNameSource({});
}

void TestMainWindow::titleAndFixedSize()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("KT62 Update Tool V2.06"));
    QCOMPARE(m_window->minimumSize(), QSize(320, 180));
    QCOMPARE(m_window->maximumSize(), QSize(320, 180));
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Open"));
    QCOMPARE(ui()->btn_upgrade->text(), QStringLiteral("Upgrade"));
    QCOMPARE(ui()->menuLanguage->title(), QStringLiteral("Language（语言）"));
    QCOMPARE(ui()->actionEnglish->isChecked(), true);
    QCOMPARE(ui()->actionChinese->isChecked(), false);
}

void TestMainWindow::firstScan_data()
{
    QTest::addColumn<QStringList>("reported");
    QTest::addColumn<QStringList>("listed");
    QTest::newRow("plain string order")
        << QStringList{"COM3", "COM10", "COM2"} << QStringList{"COM10", "COM2", "COM3"};
    QTest::newRow("duplicates listed once")
        << QStringList{"COM4", "COM4", "COM1"} << QStringList{"COM1", "COM4"};
    QTest::newRow("case-sensitive") << QStringList{"com1", "COM1"} << QStringList{"COM1", "com1"};
    QTest::newRow("no ports") << QStringList{} << QStringList{};
    QTest::newRow("linux names") << QStringList{"ttyUSB1", "ttyACM0", "ttyUSB0"}
                                 << QStringList{"ttyACM0", "ttyUSB0", "ttyUSB1"};
}

void TestMainWindow::firstScan()
{
    QFETCH(QStringList, reported);
    QFETCH(QStringList, listed);
    g_ports = reported;
    MainWindow window;
    auto *box = window.findChild<QComboBox *>(QStringLiteral("cb_port_idx"));
    QVERIFY(box);
    // None of the form's placeholder entries survive the first scan.
    QCOMPARE(boxEntries(box), listed);
}

void TestMainWindow::sameCountLeavesBoxAlone()
{
    QCOMPARE(boxEntries(ui()->cb_port_idx), QStringList({"COM1", "COM3"}));
    ui()->cb_port_idx->setCurrentIndex(1);
    g_ports = QStringList{QStringLiteral("COM7"), QStringLiteral("COM8")};
    rescan(false);
    QCOMPARE(boxEntries(ui()->cb_port_idx), QStringList({"COM1", "COM3"}));
    QCOMPARE(ui()->cb_port_idx->currentIndex(), 1);
    rescan(true);
    QCOMPARE(boxEntries(ui()->cb_port_idx), QStringList({"COM7", "COM8"}));
}

void TestMainWindow::countChangeRebuildsOnTimer()
{
    g_ports << QStringLiteral("COM2");
    QTRY_COMPARE_WITH_TIMEOUT(boxEntries(ui()->cb_port_idx), QStringList({"COM1", "COM2", "COM3"}),
                              5000);
    g_ports.clear();
    QTRY_COMPARE_WITH_TIMEOUT(ui()->cb_port_idx->count(), 0, 5000);
}

void TestMainWindow::openedPortStaysSelected_data()
{
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("current");
    QTest::newRow("port added") << QStringList{"COM1", "COM2", "COM4", "COM9"} << "COM4";
    QTest::newRow("port removed") << QStringList{"COM4"} << "COM4";
    QTest::newRow("opened port gone") << QStringList{"COM5", "COM2"} << "COM2";
}

void TestMainWindow::openedPortStaysSelected()
{
    QFETCH(QStringList, after);
    QFETCH(QString, current);
    g_ports = QStringList{QStringLiteral("COM1"), QStringLiteral("COM4"), QStringLiteral("COM9")};
    rescan(true);
    ui()->cb_port_idx->setCurrentText(QStringLiteral("COM4"));
    m_window->serial_port_status_changed(true);
    g_ports = after;
    rescan(false);
    QCOMPARE(ui()->cb_port_idx->currentText(), current);
}

void TestMainWindow::closingKeepsRememberedPort()
{
    g_ports = QStringList{QStringLiteral("COM1"), QStringLiteral("COM4")};
    rescan(true);
    ui()->cb_port_idx->setCurrentText(QStringLiteral("COM4"));
    m_window->serial_port_status_changed(true);
    m_window->serial_port_status_changed(false);
    ui()->cb_port_idx->setCurrentText(QStringLiteral("COM1"));
    rescan(true);
    QCOMPARE(ui()->cb_port_idx->currentText(), QStringLiteral("COM4"));
}

void TestMainWindow::buttonFollowsChannelState()
{
    emit g_gpi.serial_status_changed(true);
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Close"));
    emit g_gpi.serial_status_changed(false);
    emit g_gpi.serial_status_changed(false);
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Open"));
}

void TestMainWindow::openAndCloseRealPort()
{
    Pty pty;
    QVERIFY(pty.isValid());
    g_ports = QStringList{pty.slavePath()};
    rescan(true);
    QTest::mouseClick(ui()->btn_open_serial, Qt::LeftButton);
    QVERIFY(g_gpi.isOpen());
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Close"));
    // A different entry chosen while open: the next click still closes.
    g_ports << QStringLiteral("COM1");
    rescan(true);
    ui()->cb_port_idx->setCurrentText(QStringLiteral("COM1"));
    QTest::mouseClick(ui()->btn_open_serial, Qt::LeftButton);
    QVERIFY(!g_gpi.isOpen());
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Open"));
    // A port that cannot be opened leaves the button reading "Open".
    QTest::mouseClick(ui()->btn_open_serial, Qt::LeftButton);
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Open"));
}

void TestMainWindow::f7ShowsEncryptionDialog()
{
    m_window->show();
    QWidget *seen = nullptr;
    closeModalSoon(&seen);
    QTest::keyClick(m_window.get(), Qt::Key_F7);
    QCOMPARE(seen, static_cast<QWidget *>(m_window->m_dialog_encrypt));
    QVERIFY(!QApplication::activeModalWidget());

    // Other keys open nothing.
    seen = nullptr;
    QTest::keyClick(m_window.get(), Qt::Key_F6);
    QTest::keyClick(m_window.get(), Qt::Key_Return);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestMainWindow::upgradeButtonShowsUpgradeDialog()
{
    m_window->show();
    QWidget *seen = nullptr;
    closeModalSoon(&seen);
    QTest::mouseClick(ui()->btn_upgrade, Qt::LeftButton);
    QCOMPARE(seen, static_cast<QWidget *>(m_window->m_dialog_upgrade));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
