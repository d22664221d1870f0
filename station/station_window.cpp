#include "station/station_window.h"
#include "ui_station_window.h"

#include "serial/port_access.h"
#include "serial/port_select.h"
#include "station/history_view.h"
#include "station/port_tile.h"
#include "widgets/prompts.h"

#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QLocale>
#include <QMimeData>
#include <QSettings>

#include <algorithm>
#include <utility>

namespace {
const char *const CATALOGUE_PATH = ":/station/kt62_station_zh_CN.qm";
// Qt's own texts (file choosers, message box buttons) in Chinese, carried in
// the station's resources whatever the system has installed.
const char *const QT_CATALOGUE_PATH = ":/station/qtbase_zh_CN.qm";
const char *const KEY_GEOMETRY = "geometry";
constexpr int PORT_SCAN_MS =
    1000; // a look at the scanner's list, which re-reads only after a change
constexpr int ICON_SIZES[] = {16, 32, 48, 64, 128, 256};
const char *const REFUSAL_STYLE = "color: #D55E00;";

QString bold(const QString &text)
{
    return QStringLiteral("<b>%1</b>").arg(text);
}

QString key_of(const QListWidgetItem *item)
{
    return item ? item->data(Qt::UserRole).toString() : QString();
}
} // namespace

// Outside any namespace, as Q_INIT_RESOURCE requires; a static library's
// resources are not registered by themselves.
void station_register_resources()
{
    Q_INIT_RESOURCE(station);
}

QIcon station_icon()
{
    station_register_resources();
    QIcon icon;
    for (const int size : ICON_SIZES) {
        icon.addFile(QStringLiteral(":/station/icons/kt62-station-%1.png").arg(size),
                     QSize(size, size));
    }
    return icon;
}

StationWindow::StationWindow(const StationOptions &options, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::StationWindow)
{
    station_register_resources();
    ui->setupUi(this);
    setWindowIcon(station_icon());
    ui->lbl_firmware_path->set_content(ElidedLabel::Content::Path);
    ui->lbl_firmware_refusal->setTextFormat(Qt::PlainText);
    ui->edit_history->setPlaceholderText(QDir::toNativeSeparators(default_history_path()));
    auto *status = new ElidedLabel;
    status->setObjectName(QStringLiteral("lbl_status"));
    status->set_content(ElidedLabel::Content::Text);
    statusBar()->addPermanentWidget(status, 1);
    QFont larger = ui->lbl_totals->font();
    larger.setPointSizeF(larger.pointSizeF() * 1.25);
    ui->lbl_totals->setFont(larger);
    connectActions();
    restoreGeometry(QSettings().value(KEY_GEOMETRY).toByteArray());
    apply(options);
    onServing(false);
    retranslate();
    if (options.start) {
        // Once the window is up, so that a refusal is seen in it.
        QMetaObject::invokeMethod(this, &StationWindow::start, Qt::QueuedConnection);
    }
}

StationWindow::~StationWindow()
{
    delete ui;
}

HistoryView &StationWindow::history() const
{
    return *ui->history_view;
}

void StationWindow::connectActions()
{
    connect(ui->actionChooseFirmware, &QAction::triggered, this, &StationWindow::chooseFirmware);
    connect(ui->btn_firmware, &QPushButton::clicked, this, &StationWindow::chooseFirmware);
    connect(ui->actionExportHistory, &QAction::triggered, this, [this] {
        ui->tabs->setCurrentWidget(ui->tab_history);
        ui->history_view->exportCsv();
    });
    connect(ui->actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(ui->actionStart, &QAction::triggered, this, &StationWindow::start);
    connect(ui->btn_start, &QPushButton::clicked, this, &StationWindow::start);
    connect(ui->actionStop, &QAction::triggered, this, &StationWindow::stop);
    connect(ui->btn_stop, &QPushButton::clicked, this, &StationWindow::stop);
    ui->actionEnglish->setCheckable(true);
    ui->actionChinese->setCheckable(true);
    connect(ui->actionEnglish, &QAction::triggered, this, [this] { setLanguage(QString()); });
    connect(ui->actionChinese, &QAction::triggered, this,
            [this] { setLanguage(QLatin1String(CHINESE)); });
    connect(ui->btn_add_port, &QPushButton::clicked, this, &StationWindow::addPort);
    connect(ui->edit_port, &QLineEdit::returnPressed, this, &StationWindow::addPort);
    connect(ui->btn_remove_port, &QPushButton::clicked, this, &StationWindow::removePort);
    connect(ui->list_ports, &QListWidget::itemChanged, this,
            [this] { m_checked = checkedPorts(); });
    connect(ui->edit_history, &QLineEdit::editingFinished, this,
            [this] { ui->history_view->setTarget(station_settings(options()).history); });
    connect(&m_port_scan, &QTimer::timeout, this, &StationWindow::refreshPorts);
    m_port_scan.start(PORT_SCAN_MS);

    connect(&m_controller, &StationController::tilesReset, this, &StationWindow::renderTiles);
    connect(&m_controller, &StationController::tileChanged, this, [this](int port) {
        ui->grid_tiles->tile(port)->showModel(m_controller.tiles().at(port));
    });
    connect(&m_controller, &StationController::totalsChanged, this, &StationWindow::renderTotals);
    connect(&m_controller, &StationController::servingChanged, this, &StationWindow::onServing);
    connect(&m_controller, &StationController::ended, this, &StationWindow::onEnded);
    connect(&m_controller, &StationController::boardFinished, this, [this] {
        ui->history_view->refresh(); // read only while the history is shown
    });
    connect(&m_controller, &StationController::refused, this, [this](const QString &message) {
        showStatus([message] { return tr("Not started: %1").arg(message); });
    });
    connect(&m_controller, &StationController::historyFailed, this,
            [this](const QString &reason, const QString &fallback) {
                showStatus([reason, fallback] {
                    return tr("The history failed: %1; no new board is taken, and the rows of "
                              "boards in progress are kept in %2")
                        .arg(reason, fallback);
                });
            });
}

void StationWindow::apply(const StationOptions &options)
{
    m_present = available_ports();
    m_entries = options.entries;
    for (const QString &port : options.ports) {
        const bool present = std::any_of(m_present.cbegin(), m_present.cend(),
                                         [&port](const PortDetails &p) { return p.name == port; });
        if (!present && !m_entries.contains(port)) {
            m_entries << port;
        }
    }
    m_checked = options.ports;
    renderPorts();
    ui->spin_retries->setValue(options.retries);
    ui->cb_skip_same->setChecked(options.skip_same);
    ui->spin_timeout->setValue(options.timeout_s);
    ui->spin_erase_timeout->setValue(options.erase_timeout_s);
    ui->edit_history->setText(options.history);
    ui->history_view->setTarget(station_settings(options).history);
    if (!options.firmware.isEmpty()) {
        setFirmware(options.firmware);
    }
    setLanguage(options.language);
}

StationOptions StationWindow::options() const
{
    StationOptions options;
    options.firmware = m_firmware;
    options.ports = m_checked;
    options.entries = m_entries;
    options.retries = ui->spin_retries->value();
    options.skip_same = ui->cb_skip_same->isChecked();
    options.timeout_s = ui->spin_timeout->value();
    options.erase_timeout_s = ui->spin_erase_timeout->value();
    options.history = ui->edit_history->text().trimmed();
    options.language = m_language;
    return options;
}

// ---------------------------------------------------------------- firmware

void StationWindow::chooseFirmware()
{
    if (m_controller.serving()) {
        return;
    }
    FilePrompt prompt;
    prompt.parent = this;
    prompt.caption = tr("Choose the firmware");
    prompt.dir = m_firmware.isEmpty() ? QDir::homePath() : QFileInfo(m_firmware).absolutePath();
    prompt.filter = tr("Firmware (*_V*.bin);;All files (*)");
    const QString path = ask_for_path(prompt);
    if (!path.isEmpty()) {
        setFirmware(path);
    }
}

void StationWindow::setFirmware(const QString &path)
{
    m_firmware = QFileInfo(path).absoluteFilePath();
    m_facts = check_firmware(m_firmware);
    renderFirmware();
}

void StationWindow::renderFirmware()
{
    const FirmwareInspection &inspection = m_facts.inspection;
    const bool known = !m_firmware.isEmpty() && inspection.readable;
    const auto shown = [known](const QString &text) {
        return !known ? QString() : text.isEmpty() ? tr("unknown") : text;
    };
    ui->lbl_firmware_path->set_full_text(
        m_firmware.isEmpty() ? tr("No firmware chosen") : QDir::toNativeSeparators(m_firmware));
    ui->lbl_model->setText(shown(inspection.model));
    ui->lbl_version->setText(shown(inspection.version));
    ui->lbl_size->setText(shown(tr("%1 bytes").arg(QLocale().toString(inspection.size))));
    ui->lbl_packets->setText(shown(QString::number(inspection.packets)));
    const QString header = inspection.header_ok
                               ? tr("ok (0x%1)").arg(inspection.header, 8, 16, QLatin1Char('0'))
                               : tr("does not match (%1)").arg(header_mismatch_reason(inspection));
    ui->lbl_header->setText(shown(header));
    const bool refused = !m_firmware.isEmpty() && !m_facts.refusal.isEmpty();
    ui->lbl_firmware_refusal->setStyleSheet(refused ? QLatin1String(REFUSAL_STYLE) : QString());
    ui->lbl_firmware_refusal->setText(refused ? QStringLiteral("✖ ") + m_facts.refusal
                                      : m_firmware.isEmpty()
                                          ? QString()
                                          : QStringLiteral("✔ ") + tr("Ready to send"));
}

// ---------------------------------------------------------------- ports

void StationWindow::refreshPorts()
{
    const QList<PortDetails> present = available_ports();
    QStringList there; // the hand entries present now: a pseudo terminal is no listed port
    for (const QString &entry : std::as_const(m_entries)) {
        if (QFileInfo::exists(port_device_node(entry))) {
            there << entry;
        }
    }
    if (present != m_present || there != m_entries_present) {
        m_present = present;
        m_entries_present = there;
        renderPorts();
    }
}

void StationWindow::renderPorts()
{
    const QSignalBlocker blocker(ui->list_ports);
    const QString current = key_of(ui->list_ports->currentItem());
    ui->list_ports->clear();
    QStringList listed;
    const auto add = [&](const QString &port, const QString &detail) {
        if (listed.contains(port)) {
            return;
        }
        listed << port;
        auto *item = new QListWidgetItem(
            detail.isEmpty() ? port : QStringLiteral("%1 — %2").arg(port, detail), ui->list_ports);
        item->setData(Qt::UserRole, port);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(m_checked.contains(port) ? Qt::Checked : Qt::Unchecked);
        if (port == current) {
            ui->list_ports->setCurrentItem(item);
        }
    };
    for (const PortDetails &port : std::as_const(m_present)) {
        add(port.name, adapter_summary(port));
    }
    for (const QString &entry : std::as_const(m_entries)) {
        const bool there = is_usb_selector(entry) || QFileInfo::exists(port_device_node(entry));
        add(entry, there ? QString() : tr("not present"));
    }
}

QStringList StationWindow::checkedPorts() const
{
    QStringList checked;
    for (int row = 0; row < ui->list_ports->count(); ++row) {
        const QListWidgetItem *item = ui->list_ports->item(row);
        if (item->checkState() == Qt::Checked) {
            checked << key_of(item);
        }
    }
    return checked;
}

void StationWindow::addPort()
{
    QString port = ui->edit_port->text().trimmed();
    if (port.isEmpty()) {
        return;
    }
    if (is_usb_selector(port)) {
        const UsbSelectorParse parsed = parse_usb_selector(port);
        if (!parsed.selector) {
            showStatus([error = parsed.error] { return error; });
            return;
        }
        port = parsed.selector->text();
    }
    if (!m_entries.contains(port)) {
        m_entries << port;
    }
    if (!m_checked.contains(port)) {
        m_checked << port;
    }
    ui->edit_port->clear();
    renderPorts();
}

void StationWindow::removePort()
{
    const QString port = key_of(ui->list_ports->currentItem());
    if (m_entries.removeAll(port) > 0) {
        m_checked.removeAll(port);
        renderPorts();
    }
}

// ---------------------------------------------------------------- serving

QString StationWindow::setupProblem() const
{
    if (m_firmware.isEmpty()) {
        return tr("Choose a firmware file first");
    }
    if (m_checked.isEmpty()) {
        return tr("Check at least one port to serve");
    }
    return QString();
}

void StationWindow::start()
{
    if (m_controller.serving()) {
        return;
    }
    const QString problem = setupProblem();
    if (!problem.isEmpty()) {
        showStatus([this] { return setupProblem(); });
        return;
    }
    setFirmware(m_firmware); // the file may have changed since it was chosen
    saveSettings();
    const RunSettings settings = station_settings(options());
    ui->history_view->setTarget(settings.history);
    showStatus({});
    const QString refusal = m_controller.start(settings);
    if (!refusal.isEmpty()) {
        showStatus([refusal] { return tr("Not started: %1").arg(refusal); });
    }
}

StationWindow::StopChoice StationWindow::askStop()
{
    ChoicePrompt prompt;
    prompt.parent = this;
    prompt.title = windowTitle();
    prompt.text = tr("Boards are being upgraded. Stop them now (they are recorded as "
                     "interrupted and must be upgraded again), or let them finish and take no "
                     "new board?");
    prompt.choices = QStringList{tr("Stop them now"), tr("Let them finish"), tr("Cancel")};
    prompt.default_choice = int(StopChoice::LetFinish);
    prompt.cancel_choice = int(StopChoice::Cancel);
    const int choice = ask_choice(prompt);
    return choice >= 0 && choice < prompt.choices.size() ? StopChoice(choice) : StopChoice::Cancel;
}

bool StationWindow::stopServing()
{
    if (!m_controller.serving()) {
        return true;
    }
    // Without a board in progress there is nothing to ask: only waits end.
    const StopChoice choice = m_controller.busy() ? askStop() : StopChoice::Now;
    switch (choice) {
    case StopChoice::Now:
        m_controller.stopNow();
        break;
    case StopChoice::LetFinish:
        showStatus([] { return tr("Finishing the boards in progress; no new board is taken"); });
        m_controller.letFinish();
        break;
    case StopChoice::Cancel:
        return false;
    }
    return true;
}

void StationWindow::stop()
{
    stopServing();
}

void StationWindow::stopAndQuit(int signal_number)
{
    m_quit_on_end = true;
    if (m_controller.serving()) {
        m_controller.interrupt(signal_number);
    } else {
        onEnded();
    }
}

void StationWindow::onServing(bool serving)
{
    // The firmware's facts stay readable; what would change the run does not.
    ui->btn_firmware->setEnabled(!serving);
    ui->gb_ports->setEnabled(!serving);
    ui->gb_options->setEnabled(!serving);
    ui->actionChooseFirmware->setEnabled(!serving);
    ui->actionStart->setEnabled(!serving);
    ui->btn_start->setEnabled(!serving);
    ui->actionStop->setEnabled(serving);
    ui->btn_stop->setEnabled(serving);
    if (!serving) {
        refreshPorts();
    }
}

void StationWindow::onEnded()
{
    if (m_quit_on_end) {
        saveSettings();
        QCoreApplication::exit(m_controller.exitCode());
    } else if (m_close_on_end) {
        close();
    }
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (m_controller.serving() && !m_quit_on_end) {
        if (!stopServing()) {
            event->ignore();
            return;
        }
        // The run ends in order (the boards' rows written) before the
        // window goes.
        m_close_on_end = m_controller.serving();
        if (m_close_on_end) {
            event->ignore();
            return;
        }
    }
    saveSettings();
    event->accept();
}

void StationWindow::renderTiles()
{
    const QVector<PortTileModel> &tiles = m_controller.tiles();
    ui->grid_tiles->setTileCount(int(tiles.size()));
    for (int port = 0; port < tiles.size(); ++port) {
        ui->grid_tiles->tile(port)->showModel(tiles.at(port));
    }
}

void StationWindow::renderTotals()
{
    const StationTotals totals = m_controller.totals();
    const RunTally &tally = totals.tally;
    const QString rate =
        totals.per_hour ? tr("%1 boards/h").arg(bold(QLocale().toString(*totals.per_hour, 'f', 0)))
                        : tr("— boards/h");
    const QString gap = QStringLiteral(" &nbsp; ");
    ui->lbl_totals->setText(QStringList{
        tr("Served: %1").arg(bold(QString::number(tally.served))),
        QStringLiteral("✔ ") + tr("Succeeded: %1").arg(bold(QString::number(tally.succeeded))),
        QStringLiteral("✖ ") + tr("Failed: %1").arg(bold(QString::number(tally.failed))),
        QStringLiteral("= ") + tr("Skipped: %1").arg(bold(QString::number(tally.skipped))), rate}
                                .join(gap));
}

// ---------------------------------------------------------------- language

void StationWindow::setLanguage(const QString &language)
{
    const bool chinese = language == QLatin1String(CHINESE);
    ui->actionChinese->setChecked(chinese);
    ui->actionEnglish->setChecked(!chinese);
    if ((chinese ? QString::fromLatin1(CHINESE) : QString()) == m_language) {
        return;
    }
    m_language = chinese ? QString::fromLatin1(CHINESE) : QString();
    QCoreApplication::removeTranslator(&m_translator);
    QCoreApplication::removeTranslator(&m_qt_translator);
    if (!chinese) {
        return;
    }
    // Qt's texts first, so that the station's own take precedence.
    if (m_qt_translator.load(QLatin1String(QT_CATALOGUE_PATH))) {
        QCoreApplication::installTranslator(&m_qt_translator);
    }
    if (m_translator.load(QLatin1String(CATALOGUE_PATH))) {
        QCoreApplication::installTranslator(&m_translator);
    }
}

void StationWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        retranslate();
    }
    QMainWindow::changeEvent(event);
}

void StationWindow::retranslate()
{
    ui->retranslateUi(this);
    setWindowTitle(tr("KT62 Production Station") + QStringLiteral(" V" KT62_VERSION));
    renderFirmware();
    renderPorts();
    renderTotals();
    showStatus(m_status);
}

void StationWindow::showStatus(std::function<QString()> text)
{
    m_status = std::move(text);
    auto *label = findChild<ElidedLabel *>(QStringLiteral("lbl_status"));
    label->set_full_text(m_status ? m_status() : QString());
}

void StationWindow::saveSettings() const
{
    save_options(options());
    QSettings().setValue(KEY_GEOMETRY, saveGeometry());
}

// ---------------------------------------------------------------- dropping

void StationWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!m_controller.serving() && urls.size() == 1 && urls.constFirst().isLocalFile()) {
        event->acceptProposedAction();
    }
}

void StationWindow::dropEvent(QDropEvent *event)
{
    setFirmware(event->mimeData()->urls().constFirst().toLocalFile());
    event->acceptProposedAction();
}
