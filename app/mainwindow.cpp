#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "dialogs/dialogupgrade.h"
#include "firmware/dialogencrypt.h"
#include "resources/resources.h"
#include "serial/gpi.h"
#include "serial/port_access.h"
#include "serial/port_list.h"
#include "widgets/elidedlabel.h"
#include "widgets/placement.h"

#include <QCoreApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QStatusBar>
#include <QTimer>
#include <QTranslator>

#include <optional>
#include <utility>

namespace {
constexpr int PORT_SCAN_INTERVAL_MS = 300;
const char *const CATALOGUE_PATH = ":/translation_ch.qm";
// Qt's own Chinese catalogue, carried in the resources so that it is there
// whatever the system has installed.
const char *const QT_CATALOGUE_PATH = ":/qt/qtbase_zh_CN.qm";

// The catalogue is registered while static objects are built, before main.
const bool g_resources_registered = (kt62_register_resources(), true);

// Why a port did not open, kept as data so that it can be worded again in
// another language.
struct OpenFailureNote
{
    QString port;
    GPI::OpenFailure kind = GPI::OpenFailure::Other;
    QString system_text;
    std::optional<QString> group; // to join for a permission; none when unknown
};

QString reason_text(const OpenFailureNote &note)
{
    switch (note.kind) {
    case GPI::OpenFailure::InUse:
        // Qt words a port held by another program as a permission error
        // while locking; the user needs to know who has it.
        return MainWindow::tr("in use by another program");
    case GPI::OpenFailure::Permission:
        return MainWindow::tr("permission denied");
    case GPI::OpenFailure::Missing:
        return MainWindow::tr("no such port");
    case GPI::OpenFailure::None:
    case GPI::OpenFailure::Other:
        break;
    }
    return note.system_text;
}

QString open_failure_text(const OpenFailureNote &note)
{
    const QString reason = reason_text(note);
    return note.group ? MainWindow::tr("Cannot open %1: %2; join the group %3 (sudo usermod -aG %3 "
                                       "$USER), then log in again")
                            .arg(note.port, reason, *note.group)
                      : MainWindow::tr("Cannot open %1: %2").arg(note.port, reason);
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_dialog_upgrade(nullptr),
      m_dialog_encrypt(nullptr), m_translator(nullptr), m_qt_translator(nullptr),
      m_serial_opened(false), m_port_timer(nullptr), m_version(QStringLiteral(" V" KT62_VERSION)),
      m_status(new ElidedLabel())
{
    ui->setupUi(this);
    m_status->setObjectName(QStringLiteral("lbl_status"));
    m_status->set_content(ElidedLabel::Content::Text);
    statusBar()->addPermanentWidget(m_status, 1);
    ui->actionEnglish->setCheckable(true);
    ui->actionChinese->setCheckable(true);
    m_translator = new QTranslator();
    m_qt_translator = new QTranslator();
    ui->actionEnglish->setChecked(true);

    m_dialog_upgrade = new DialogUpgrade();
    m_dialog_encrypt = new DialogEncrypt();

    update_serial_port_list(true);

    m_port_timer = new QTimer();
    connect(m_port_timer, SIGNAL(timeout()), this, SLOT(update_serial_port_list()));
    m_port_timer->start(PORT_SCAN_INTERVAL_MS);

    setWindowTitle(tr("KT62 Update Tool") + m_version);
    connect(&g_gpi, SIGNAL(serial_status_changed(bool)), this,
            SLOT(serial_port_status_changed(bool)));
}

MainWindow::~MainWindow()
{
    // The dialogs, the translator and the timer live as long as the process.
    delete ui;
}

void MainWindow::update_serial_port_list(bool update)
{
    m_port_list.clear();
    const QStringList names = available_port_names();
    for (const QString &name : names) {
        if (!m_port_list.contains(name)) {
            m_port_list.append(name);
        }
    }
    m_port_list.sort(Qt::CaseSensitive);
    // Only a change in the names (or a forced refresh) rebuilds the box, so
    // the user's selection is not disturbed every 300 ms. The count alone
    // would miss one adapter replaced by another between two scans.
    if (!update && m_port_list == box_entries()) {
        return;
    }
    ui->cb_port_idx->clear();
    for (const QString &name : std::as_const(m_port_list)) {
        ui->cb_port_idx->addItem(QIcon(), name);
    }
    for (int i = 0; i < ui->cb_port_idx->count(); ++i) {
        if (ui->cb_port_idx->itemText(i) == m_current_port) {
            ui->cb_port_idx->setCurrentIndex(i);
        }
    }
}

QStringList MainWindow::box_entries() const
{
    QStringList entries;
    for (int i = 0; i < ui->cb_port_idx->count(); ++i) {
        entries << ui->cb_port_idx->itemText(i);
    }
    return entries;
}

void MainWindow::serial_port_status_changed(bool connected)
{
    m_serial_opened = connected;
    if (connected) {
        ui->btn_open_serial->setText(tr("Close"));
        m_current_port = ui->cb_port_idx->currentText();
        show_status(nullptr);
        return;
    }
    ui->btn_open_serial->setText(tr("Open"));
    // The upgrade dialog may be hidden: the stop is told here at once.
    if (const std::optional<DialogUpgrade::PortStop> stop =
            m_dialog_upgrade->stop_by_port_change()) {
        show_status([stop] { return DialogUpgrade::stop_text(*stop); });
    }
}

void MainWindow::on_btn_open_serial_clicked()
{
    if (!m_serial_opened) {
        const QString port = ui->cb_port_idx->currentText();
        g_gpi.openSerialPort(port);
        if (!m_serial_opened) {
            show_open_failure(port);
        }
    } else {
        g_gpi.closeSerialPort();
    }
}

void MainWindow::show_open_failure(const QString &port)
{
    OpenFailureNote note;
    note.port = port;
    note.kind = g_gpi.open_failure();
    note.system_text = g_gpi.open_failure_text();
    // Only a node that refuses this user while its group may use it tells
    // that joining the group would help.
    if (note.kind == GPI::OpenFailure::Permission) {
        note.group = group_to_join(port_node_facts(port));
    }
    show_status([note] { return open_failure_text(note); });
}

void MainWindow::show_status(std::function<QString()> text)
{
    m_status_text = std::move(text);
    m_status->set_full_text(m_status_text ? m_status_text() : QString());
}

void MainWindow::exec_centred(QDialog *dialog)
{
    place_over(dialog, this);
    dialog->exec();
}

void MainWindow::on_btn_upgrade_clicked()
{
    exec_centred(m_dialog_upgrade);
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    // Other keys are swallowed on purpose; F7 is the only shortcut here.
    if (event->key() == Qt::Key_F7) {
        exec_centred(m_dialog_encrypt);
    }
}

void MainWindow::on_actionChinese_triggered()
{
    if (!ui->actionChinese->isChecked()) {
        return;
    }
    ui->actionEnglish->setEnabled(true);
    ui->actionChinese->setEnabled(false);
    ui->actionEnglish->setChecked(false);
    if (!m_translator->load(QString::fromLatin1(CATALOGUE_PATH), QString(), QString(), QString())) {
        return;
    }
    // Qt's texts first, so that the program's own take precedence.
    if (m_qt_translator->load(QString::fromLatin1(QT_CATALOGUE_PATH))) {
        QCoreApplication::installTranslator(m_qt_translator);
    }
    QCoreApplication::installTranslator(m_translator);
    retranslate_all();
}

void MainWindow::on_actionEnglish_triggered()
{
    if (!ui->actionEnglish->isChecked()) {
        return;
    }
    ui->actionChinese->setEnabled(true);
    ui->actionEnglish->setEnabled(false);
    ui->actionChinese->setChecked(false);
    QCoreApplication::removeTranslator(m_translator);
    QCoreApplication::removeTranslator(m_qt_translator);
    retranslate_all();
}

void MainWindow::retranslate_all()
{
    ui->retranslateUi(this);
    ui->btn_open_serial->setText(m_serial_opened ? tr("Close") : tr("Open"));
    m_dialog_upgrade->retranslate();
    show_status(m_status_text);
    update_serial_port_list(true);
    setWindowTitle(tr("KT62 Update Tool") + m_version);
}
