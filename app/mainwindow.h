#ifndef KT62_MAINWINDOW_H
#define KT62_MAINWINDOW_H

#include <QMainWindow>
#include <QStringList>

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QDialog;
class QTimer;
class QTranslator;
QT_END_NAMESPACE

class DialogUpgrade;
class DialogEncrypt;
class ElidedLabel;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void update_serial_port_list(bool update = false);
    void serial_port_status_changed(bool connected);
    void on_btn_open_serial_clicked();
    void on_btn_upgrade_clicked();
    void on_actionEnglish_triggered();
    void on_actionChinese_triggered();

private:
    void retranslate_all();
    // Why the port just asked for did not open, in the status bar.
    void show_open_failure(const QString &port);
    // Shows what text() says in the status bar, now and again after each
    // switch of language; an empty function clears it.
    void show_status(std::function<QString()> text);
    // Runs a parentless dialog modally, placed over this window (see
    // place_over).
    void exec_centred(QDialog *dialog);
    QStringList box_entries() const;

    Ui::MainWindow *ui;
    DialogUpgrade *m_dialog_upgrade;
    DialogEncrypt *m_dialog_encrypt;
    QTranslator *m_translator;
    // Qt's own texts (file choosers, message box buttons) in Chinese; installed
    // and removed with the program's catalogue.
    QTranslator *m_qt_translator;
    bool m_serial_opened;
    QStringList m_port_list;
    QString m_current_port;
    QTimer *m_port_timer;
    QString m_version;
    // Why the port did not open, or why a run stopped. A permanent widget:
    // the status bar's own message would be cut at the window's fixed width
    // and wiped by any status tip, such as the Language menu's.
    ElidedLabel *m_status;
    std::function<QString()> m_status_text;
};

#endif
