#include "dialogs/dialogupgrade.h"
#include "ui_dialogupgrade.h"

#include "firmware/firmware_name.h"
#include "widgets/prompts.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

DialogUpgrade::DialogUpgrade(QWidget *parent) : QDialog(parent), ui(new Ui::DialogUpgrade)
{
    ui->setupUi(this);
    setAcceptDrops(true);
    connect(&m_upgrader, SIGNAL(device_info_update()), this, SLOT(update_device_info()));
    connect(&m_upgrader, SIGNAL(target_firmware_update()), this,
            SLOT(update_target_firmware_info()));
    connect(&m_upgrader, SIGNAL(upgrade_progress(int)), this, SLOT(upgrade_progress(int)));
    connect(&m_upgrader, SIGNAL(upgrade_info(QString)), this, SLOT(upgrade_info(QString)));
    connect(&m_upgrader, SIGNAL(upgrade_finished()), this, SLOT(upgrade_finished()));
    connect(&m_upgrader, SIGNAL(checkVersion_finished()), this, SLOT(checkversion_finished()));
    connect(m_upgrader.channel(), SIGNAL(serial_status_changed(bool)), this,
            SLOT(port_status_changed(bool)));
    setWindowTitle(tr("Firmware Upgrade"));
}

DialogUpgrade::~DialogUpgrade()
{
    delete ui;
}

void DialogUpgrade::retranslate()
{
    ui->retranslateUi(this);
    if (m_upgrader.m_running) {
        draw_run();
    } else {
        ui->lbl_upgrade_info->setText(stop_notice());
    }
}

void DialogUpgrade::reset_display()
{
    ui->lbl_upgrade_info->setText(stop_notice());
    ui->btn_begin_upgrade->setText(tr("Upgrade"));
    ui->btn_begin_checkversion->setText(tr("CheckVersion"));
    reset_info_labels();
}

void DialogUpgrade::reset_info_labels()
{
    ui->lbl_deivce_model->setText(tr("Device Model: Unknown"));
    ui->lbl_device_firmware->setText(tr("Current Version: Unknown"));
    ui->lbl_target_firmware->setText(tr("Upgrade Version: Unknown"));
    m_device_shown = m_target_shown = false;
}

void DialogUpgrade::draw_run()
{
    if (m_device_shown) {
        update_device_info();
    }
    if (m_target_shown) {
        update_target_firmware_info();
    }
    ui->lbl_upgrade_info->setText(run_status());
    run_button()->setText(tr("Cancel"));
}

QPushButton *DialogUpgrade::run_button() const
{
    return m_upgrader.m_check_version ? ui->btn_begin_checkversion : ui->btn_begin_upgrade;
}

QString DialogUpgrade::run_status() const
{
    switch (m_upgrader.phase()) {
    case UpgradePhase::Querying:
        return tr("Checking device information");
    case UpgradePhase::CheckDone:
        return Upgrader::tr("CheckVersion Finish!");
    case UpgradePhase::Erasing:
        return Upgrader::tr("Erasing Chip...");
    case UpgradePhase::Transfer:
        // Before the first acknowledged block no progress was reported.
        return m_upgrader.m_packet_id == 0 ? Upgrader::tr("Erase finished, begin upgrade...")
                                           : progress_text(m_upgrader.m_progress);
    case UpgradePhase::Completion:
        return Upgrader::tr("Waitting for completion...");
    case UpgradePhase::Idle:
        break;
    }
    return QString();
}

// An opening while no run is active starts with nothing chosen and nothing
// known about the device; only a run that the port stopped is still told. A
// run left going from an earlier opening is shown as it stands, with its
// file kept (the upgrade needs its table) and Cancel on its button. The base
// handler would re-centre the dialog, which is deliberately not done.
void DialogUpgrade::showEvent(QShowEvent *)
{
    if (m_upgrader.m_running) {
        run_button()->setText(tr("Cancel"));
        return;
    }
    reset_display();
    m_upgrader.clear_firmware_file();
}

// A run must not outlive its port: left going, it would answer the device
// once the port is opened again and erase it with no one watching. Inside
// the port's error report the engine leaves the port alone. The user may
// not be looking (the dialog hidden), so the stop is kept to be told.
void DialogUpgrade::port_status_changed(bool connected)
{
    m_stop_is_new = false;
    if (connected || !m_upgrader.m_running) {
        return;
    }
    const UpgradePhase phase = m_upgrader.phase();
    PortStop stop;
    stop.lost = m_upgrader.channel()->reporting_error();
    // Once the erase was asked for, the device may hold no firmware at all.
    stop.erase_asked = phase == UpgradePhase::Erasing || phase == UpgradePhase::Transfer ||
                       phase == UpgradePhase::Completion;
    m_upgrader.stop_upgrade();
    m_stop = stop;
    m_stop_is_new = true;
    reset_display();
}

std::optional<DialogUpgrade::PortStop> DialogUpgrade::stop_by_port_change() const
{
    return m_stop_is_new ? m_stop : std::nullopt;
}

QString DialogUpgrade::stop_text(const PortStop &stop)
{
    const QString stopped = stop.lost ? tr("Serial port lost, operation stopped")
                                      : tr("Serial port closed, operation stopped");
    return stop.erase_asked
               ? tr("%1; the device may be erased and must be upgraded again").arg(stopped)
               : stopped;
}

QString DialogUpgrade::stop_notice() const
{
    return m_stop ? stop_text(*m_stop) : QString();
}

void DialogUpgrade::forget_stop()
{
    if (m_stop) {
        m_stop.reset();
        ui->lbl_upgrade_info->clear();
    }
}

bool DialogUpgrade::refused_or_cancelled()
{
    forget_stop();
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
    if (!path.isEmpty()) {
        choose_firmware(path);
    }
}

void DialogUpgrade::dragEnterEvent(QDragEnterEvent *event)
{
    if (!dropped_file(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void DialogUpgrade::dropEvent(QDropEvent *event)
{
    const QString path = dropped_file(event->mimeData());
    if (path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    // A drop is a choice like the chooser's, refused the same way during a run.
    if (m_upgrader.m_running) {
        inform(tr("Please stop the running operation first!"));
        return;
    }
    choose_firmware(path);
}

QString DialogUpgrade::dropped_file(const QMimeData *data)
{
    // One local file, as the chooser would give; anything else is not taken.
    const QList<QUrl> urls = data ? data->urls() : QList<QUrl>();
    return urls.size() == 1 && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

void DialogUpgrade::choose_firmware(const QString &path)
{
    // A new choice starts afresh: what an earlier run ended with (or why it
    // stopped) says nothing about this file.
    forget_stop();
    ui->lbl_upgrade_info->clear();
    // The whole path counts here, directories included.
    if (!path_has_marker(path)) {
        inform(tr("Firmware name is not right!"));
        return;
    }
    qDebug().noquote() << QStringLiteral("Select firmware ") + path;
    g_firmware_file = path;
    // An empty file loads without error but gives nothing to send.
    const bool loaded = m_upgrader.load_firmware();
    if (!loaded || m_upgrader.m_packet_count == 0) {
        // Keeping the path would let an erase go out for a table that is
        // not this file's, and the labels would describe a firmware that
        // will not be sent.
        m_upgrader.forget_firmware();
        reset_info_labels();
        inform(loaded ? tr("Firmware file is empty!") : tr("Firmware file cannot be read!"));
    }
}

void DialogUpgrade::update_device_info()
{
    m_device_shown = true;
    ui->lbl_deivce_model->setText(tr("Device Model:") + m_upgrader.m_device_model);
    ui->lbl_device_firmware->setText(tr("Current Version:") + m_upgrader.m_current_version);
}

void DialogUpgrade::update_target_firmware_info()
{
    m_target_shown = true;
    ui->lbl_target_firmware->setText(tr("Upgrade Version:") + m_upgrader.m_target_version);
}

void DialogUpgrade::upgrade_progress(int percent)
{
    ui->lbl_upgrade_info->setText(progress_text(percent));
}

QString DialogUpgrade::progress_text(int percent) const
{
    return tr("Upgrading %1%").arg(percent);
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
