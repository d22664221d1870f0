#include "dialogs/dialogupgrade.h"
#include "ui_dialogupgrade.h"

#include "dialogs/prompts.h"
#include "firmware/firmware_name.h"

#include <QDebug>

DialogUpgrade::DialogUpgrade(QWidget *parent) : QDialog(parent), ui(new Ui::DialogUpgrade)
{
    ui->setupUi(this);
    connect(&m_upgrader, SIGNAL(device_info_update()), this, SLOT(update_device_info()));
    connect(&m_upgrader, SIGNAL(target_firmware_update()), this,
            SLOT(update_target_firmware_info()));
    connect(&m_upgrader, SIGNAL(upgrade_progress(int)), this, SLOT(upgrade_progress(int)));
    connect(&m_upgrader, SIGNAL(upgrade_info(QString)), this, SLOT(upgrade_info(QString)));
    connect(&m_upgrader, SIGNAL(upgrade_finished()), this, SLOT(upgrade_finished()));
    connect(&m_upgrader, SIGNAL(checkVersion_finished()), this, SLOT(checkversion_finished()));
    setWindowTitle(tr("Firmware Upgrade"));
}

DialogUpgrade::~DialogUpgrade()
{
    delete ui;
}

void DialogUpgrade::retranslate()
{
    ui->retranslateUi(this);
}

void DialogUpgrade::reset_display()
{
    ui->lbl_upgrade_info->setText(QString());
    ui->btn_begin_upgrade->setText(tr("Upgrade"));
    ui->btn_begin_checkversion->setText(tr("CheckVersion"));
    ui->lbl_deivce_model->setText(tr("Device Model: Unknown"));
    ui->lbl_device_firmware->setText(tr("Current Version: Unknown"));
    ui->lbl_target_firmware->setText(tr("Upgrade Version: Unknown"));
}

// Every opening starts with nothing chosen and nothing known about the
// device; an operation left running from an earlier opening goes on, so
// either action button then cancels it. The base handler would re-centre the
// dialog, which is deliberately not done.
void DialogUpgrade::showEvent(QShowEvent *)
{
    reset_display();
    m_upgrader.clear_firmware_file();
}

bool DialogUpgrade::refused_or_cancelled()
{
    if (!g_gpi.isOpen()) {
        inform(tr("Serial Port is not opened!"));
        return true;
    }
    if (m_upgrader.m_running) {
        m_upgrader.stop_upgrade();
        reset_display();
        close();
        return true;
    }
    return false;
}

void DialogUpgrade::on_btn_begin_upgrade_clicked()
{
    if (refused_or_cancelled()) {
        return;
    }
    // The engine also refuses a table that did not come from a good load of
    // the chosen file; to the user both mean the same.
    if (g_firmware_file.isEmpty() || !m_upgrader.start_upgrade()) {
        inform(tr("Please choose firmware!"));
        return;
    }
    ui->lbl_upgrade_info->setText(tr("Checking device information"));
    ui->btn_begin_upgrade->setText(tr("Cancel"));
}

void DialogUpgrade::on_btn_begin_checkversion_clicked()
{
    if (refused_or_cancelled()) {
        return;
    }
    m_upgrader.start_check_version();
    ui->lbl_upgrade_info->setText(tr("Checking device information"));
    ui->btn_begin_checkversion->setText(tr("Cancel"));
}

bool DialogUpgrade::firmware_loaded_whole()
{
    // An empty file loads without error but gives nothing to send.
    return m_upgrader.load_firmware() && m_upgrader.m_packet_count > 0;
}

void DialogUpgrade::on_btn_choose_firmware_clicked()
{
    // Loading replaces the packet table that a running transfer sends from.
    if (m_upgrader.m_running) {
        inform(tr("Please stop the running operation first!"));
        return;
    }
    FilePrompt prompt;
    prompt.caption = tr("Choose Firmware");
    prompt.dir = QStringLiteral(".");
    prompt.filter = FIRMWARE_FILTER;
    const QString path = ask_for_path(prompt);
    if (path.isEmpty()) {
        return;
    }
    // The whole path counts here, directories included.
    if (!path_has_marker(path)) {
        inform(tr("Firmware name is not right!"));
        return;
    }
    qDebug().noquote() << QStringLiteral("Select firmware ") + path;
    g_firmware_file = path;
    if (!firmware_loaded_whole()) {
        // Keeping the path would let an erase go out for a table that is
        // not this file's.
        m_upgrader.clear_firmware_file();
        inform(tr("Firmware file cannot be read!"));
    }
}

void DialogUpgrade::update_device_info()
{
    ui->lbl_deivce_model->setText(tr("Device Model:") + m_upgrader.m_device_model);
    ui->lbl_device_firmware->setText(tr("Current Version:") + m_upgrader.m_current_version);
}

void DialogUpgrade::update_target_firmware_info()
{
    ui->lbl_target_firmware->setText(tr("Upgrade Version:") + m_upgrader.m_target_version);
}

void DialogUpgrade::upgrade_progress(int percent)
{
    ui->lbl_upgrade_info->setText(tr("Upgrading %1%").arg(percent));
}

void DialogUpgrade::upgrade_info(QString info)
{
    ui->lbl_upgrade_info->setText(info);
}

void DialogUpgrade::upgrade_finished()
{
    ui->btn_begin_upgrade->setText(tr("Upgrade"));
}

void DialogUpgrade::checkversion_finished()
{
    // The engine leaves the end of a version check to its dialog.
    m_upgrader.m_running = false;
    ui->btn_begin_checkversion->setText(tr("CheckVersion"));
}
