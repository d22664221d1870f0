#ifndef KT62_DIALOGUPGRADE_H
#define KT62_DIALOGUPGRADE_H

#include "upgrade/upgrader.h"

#include <QDialog>
#include <QString>

#include <optional>

QT_BEGIN_NAMESPACE
namespace Ui {
class DialogUpgrade;
}
class QPushButton;
class QDragEnterEvent;
class QDropEvent;
class QMimeData;
class QShowEvent;
QT_END_NAMESPACE

// The window in which the user upgrades the device: choose a firmware file,
// ask the device for its version, run the upgrade and follow its status.
// It drives the engine it holds and is the only receiver of its signals.
class DialogUpgrade : public QDialog
{
    Q_OBJECT
public:
    explicit DialogUpgrade(QWidget *parent = nullptr);
    ~DialogUpgrade() override;

    // Applies the form's texts again in the active language; while a run is
    // active, its state is drawn again instead of the form's idle texts.
    void retranslate();
    // The engine this dialog drives, for those who watch it.
    const Upgrader &upgrader() const { return m_upgrader; }

    // A run that the port took away: closed by the user or lost (an error
    // report), and whether the erase had been asked for by then.
    struct PortStop
    {
        bool lost = false;
        bool erase_asked = false;
    };
    // The run that the latest change of the port's state stopped; none when
    // that change stopped nothing. This dialog hears the change first, so
    // the other listeners can ask while it is announced.
    std::optional<PortStop> stop_by_port_change() const;
    // What the user is told about such a stop, in the active language.
    static QString stop_text(const PortStop &stop);

protected:
    void showEvent(QShowEvent *event) override;
    // A firmware file dropped on the dialog is chosen as "Choose Firmware"
    // would choose it.
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_btn_begin_upgrade_clicked();
    void on_btn_begin_checkversion_clicked();
    void on_btn_choose_firmware_clicked();
    void update_device_info();
    void update_target_firmware_info();
    void upgrade_progress(int percent);
    void upgrade_info(QString info);
    void upgrade_finished();
    void checkversion_finished();
    void port_status_changed(bool connected);

private:
    // The name test and the loading of a chosen firmware file.
    void choose_firmware(const QString &path);
    // The path of a drop that carries exactly one local file; empty otherwise.
    static QString dropped_file(const QMimeData *data);
    void reset_display();
    void reset_info_labels();
    // The state of the active run: its labels, status line and Cancel button.
    void draw_run();
    // The button of the running action.
    QPushButton *run_button() const;
    QString run_status() const;
    QString progress_text(int percent) const;
    // The first steps of both action buttons: nothing works without the
    // port, and while any run is active either button cancels it and
    // closes the dialog. True when the click ends here.
    bool refused_or_cancelled();
    // The user acted here: an earlier stop is no longer news.
    void forget_stop();
    QString stop_notice() const;

    Ui::DialogUpgrade *ui;
    Upgrader m_upgrader;
    // Whether the info labels show the engine's values rather than "Unknown".
    bool m_device_shown = false;
    bool m_target_shown = false;
    // The last run the port stopped, told until the user's next action here
    // (choosing a file, either action button), over hiding and showing.
    std::optional<PortStop> m_stop;
    bool m_stop_is_new = false;
};

#endif
