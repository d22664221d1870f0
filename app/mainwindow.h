#ifndef KT62_MAINWINDOW_H
#define KT62_MAINWINDOW_H

#include <QMainWindow>
#include <QStringList>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QTimer;
class QTranslator;
QT_END_NAMESPACE

class DialogUpgrade;
class DialogEncrypt;

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
    QStringList box_entries() const;

    Ui::MainWindow *ui;
    DialogUpgrade *m_dialog_upgrade;
    DialogEncrypt *m_dialog_encrypt;
    QTranslator *m_translator;
    bool m_serial_opened;
    QStringList m_port_list;
    QString m_current_port;
    QTimer *m_port_timer;
    QString m_version;
};

#endif
