#include "station/history_view.h"
#include "ui_history_view.h"

#include "firmware/file_target.h"
#include "station/station_texts.h"
#include "widgets/prompts.h"

#include <QDir>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>

namespace {
enum Column
{
    TIME_COLUMN,
    STATION_COLUMN,
    PORT_COLUMN,
    ADAPTER_COLUMN,
    VERSIONS_COLUMN,
    RESULT_COLUMN,
    DURATION_COLUMN,
    MESSAGE_COLUMN,
    COLUMN_COUNT
};
constexpr double MS_PER_SECOND_F = 1000.0;
const char *const EXPORT_NAME = "kt62-history.csv";
const char *const TIME_FORM = "yyyy-MM-dd HH:mm:ss";

// The result names a row can have, in the order the filter offers them.
const char *const RESULTS[] = {"success",           "device failure", "bad input",
                               "port error",        "timeout",        "skipped",
                               "premature success", "interrupted",    BOARD_STARTED};

QString versions(const BoardRecord &row)
{
    const QString before = row.version_before.isEmpty() ? QStringLiteral("?") : row.version_before;
    return row.target_version.isEmpty() ? before
                                        : before + QStringLiteral(" → ") + row.target_version;
}

// The local day's start, as the UTC time the rows are stamped in.
QDateTime day_start(const QDate &day)
{
    return QDateTime(day, QTime(0, 0)).toUTC();
}
} // namespace

void HistoryReader::read(quint64 request, const HistoryQuery &query)
{
    HistoryRows out;
    QSet<QString> ports;
    read_history(
        query.target, query.filter,
        [&](const BoardRecord &row) {
            if (query.until.isValid() && row.started >= query.until) {
                return true;
            }
            ports.insert(row.port);
            if (query.port.isEmpty() || row.port == query.port) {
                out.rows << row;
            }
            return true;
        },
        &out.error);
    std::reverse(out.rows.begin(), out.rows.end()); // read in the order of their ids
    out.ports = QStringList(ports.begin(), ports.end());
    out.ports.sort();
    emit done(request, out);
}

void HistoryTable::setRows(const QVector<BoardRecord> &rows)
{
    beginResetModel();
    m_rows = rows;
    endResetModel();
}

int HistoryTable::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryTable::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : COLUMN_COUNT;
}

QVariant HistoryTable::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return QVariant();
    }
    const BoardRecord &row = m_rows.at(index.row());
    switch (index.column()) {
    case TIME_COLUMN:
        return row.started.toLocalTime().toString(QLatin1String(TIME_FORM));
    case STATION_COLUMN:
        return row.station;
    case PORT_COLUMN:
        return row.port;
    case ADAPTER_COLUMN:
        return row.usb_identity.isEmpty() ? row.system_port : row.usb_identity;
    case VERSIONS_COLUMN:
        return versions(row);
    case RESULT_COLUMN:
        return StationTexts::result(row.result);
    case DURATION_COLUMN:
        return row.ended.isValid()
                   ? StationTexts::seconds(row.started.msecsTo(row.ended) / MS_PER_SECOND_F)
                   : QString();
    case MESSAGE_COLUMN:
        return row.message;
    default:
        return QVariant();
    }
}

QVariant HistoryTable::headerData(int section, Qt::Orientation orientation, int role) const
{
    // In the order of Column.
    static const char *const HEADERS[] = {QT_TR_NOOP("Time"),     QT_TR_NOOP("Station"),
                                          QT_TR_NOOP("Port"),     QT_TR_NOOP("Adapter"),
                                          QT_TR_NOOP("Versions"), QT_TR_NOOP("Result"),
                                          QT_TR_NOOP("Duration"), QT_TR_NOOP("Message")};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < COLUMN_COUNT) {
        return tr(HEADERS[section]);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

HistoryView::HistoryView(QWidget *parent)
    : QWidget(parent), ui(new Ui::HistoryView), m_reader(new HistoryReader)
{
    qRegisterMetaType<HistoryRows>();
    ui->setupUi(this);
    ui->table_history->setModel(&m_table);
    ui->lbl_history_status->set_content(ElidedLabel::Content::Text);
    ui->date_from->setDate(QDate::currentDate());
    ui->date_to->setDate(QDate::currentDate());
    ui->date_from->setEnabled(false);
    ui->date_to->setEnabled(false);
    fillResults();
    ui->cb_port->addItem(QString());
    m_reader->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_reader, &QObject::deleteLater);
    connect(m_reader, &HistoryReader::done, this, &HistoryView::onRead);
    m_thread.start();

    const auto changed = [this] { refresh(); };
    connect(ui->cb_result, QOverload<int>::of(&QComboBox::currentIndexChanged), this, changed);
    connect(ui->cb_port, QOverload<int>::of(&QComboBox::currentIndexChanged), this, changed);
    connect(ui->cb_from, &QCheckBox::toggled, ui->date_from, &QWidget::setEnabled);
    connect(ui->cb_to, &QCheckBox::toggled, ui->date_to, &QWidget::setEnabled);
    connect(ui->cb_from, &QCheckBox::toggled, this, changed);
    connect(ui->cb_to, &QCheckBox::toggled, this, changed);
    connect(ui->date_from, &QDateEdit::dateChanged, this, changed);
    connect(ui->date_to, &QDateEdit::dateChanged, this, changed);
    connect(ui->btn_refresh, &QPushButton::clicked, this, &HistoryView::refresh);
    connect(ui->btn_export, &QPushButton::clicked, this, &HistoryView::exportCsv);
}

HistoryView::~HistoryView()
{
    m_thread.quit();
    m_thread.wait();
    delete ui;
}

void HistoryView::setTarget(const QString &target)
{
    if (target != m_target) {
        m_target = target;
        refresh();
    }
}

void HistoryView::fillResults()
{
    const QSignalBlocker blocker(ui->cb_result);
    const int chosen = qMax(ui->cb_result->currentIndex(), 0);
    ui->cb_result->clear();
    ui->cb_result->addItem(tr("All results"), QString());
    for (const char *name : RESULTS) {
        ui->cb_result->addItem(StationTexts::result(QLatin1String(name)), QLatin1String(name));
    }
    ui->cb_result->setCurrentIndex(chosen);
    ui->cb_port->setItemText(0, tr("All ports"));
}

void HistoryView::refresh()
{
    if (m_target.isEmpty() || !isVisible()) {
        return; // read when shown
    }
    HistoryQuery query;
    QString error;
    if (!parse_history_target(m_target, &query.target, &error)) {
        showStatus(error);
        return;
    }
    query.filter.result = ui->cb_result->currentData().toString();
    query.port = ui->cb_port->currentIndex() > 0 ? ui->cb_port->currentText() : QString();
    if (ui->cb_from->isChecked()) {
        query.filter.since = day_start(ui->date_from->date());
    }
    if (ui->cb_to->isChecked()) {
        query.until = day_start(ui->date_to->date().addDays(1));
    }
    const quint64 request = ++m_request;
    HistoryReader *reader = m_reader;
    QMetaObject::invokeMethod(
        reader, [reader, request, query] { reader->read(request, query); }, Qt::QueuedConnection);
}

void HistoryView::onRead(quint64 request, const HistoryRows &rows)
{
    if (request != m_request) {
        return; // a later read is on its way
    }
    m_table.setRows(rows.rows);
    {
        const QSignalBlocker blocker(ui->cb_port);
        const QString chosen = ui->cb_port->currentIndex() > 0 ? ui->cb_port->currentText() : "";
        while (ui->cb_port->count() > 1) {
            ui->cb_port->removeItem(1);
        }
        ui->cb_port->addItems(rows.ports);
        // A port chosen stays chosen when a filter leaves it no rows.
        if (!chosen.isEmpty() && !rows.ports.contains(chosen)) {
            ui->cb_port->addItem(chosen);
        }
        ui->cb_port->setCurrentIndex(qMax(0, ui->cb_port->findText(chosen)));
    }
    m_error = rows.error;
    showStatus(m_error.isEmpty() ? tr("%1 boards shown").arg(rows.rows.size())
                                 : tr("Cannot read the history: %1").arg(m_error));
    ui->table_history->resizeColumnsToContents();
    emit rowsShown(int(rows.rows.size()));
}

void HistoryView::exportCsv()
{
    FilePrompt prompt;
    prompt.kind = FilePrompt::SaveFile;
    prompt.parent = this;
    prompt.caption = tr("Export the history");
    prompt.dir = QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
                     .filePath(QLatin1String(EXPORT_NAME));
    prompt.filter = tr("CSV files (*.csv)");
    const QString path = ask_for_path(prompt);
    if (path.isEmpty()) {
        return;
    }
    // Written beside the target and renamed over it: never over a device.
    QString error = output_file_refusal(path);
    if (error.isEmpty() && !writeCsv(path, &error)) {
        error = tr("cannot write %1: %2").arg(path, error);
    }
    if (!error.isEmpty()) {
        MessagePrompt refusal;
        refusal.kind = MessagePrompt::Critical;
        refusal.parent = this;
        refusal.text = tr("The history was not exported: %1").arg(error);
        show_message(refusal);
        return;
    }
    showStatus(tr("%1 boards exported to %2").arg(m_table.rows().size()).arg(path));
}

bool HistoryView::writeCsv(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    file.write(csv_header());
    for (const BoardRecord &row : m_table.rows()) {
        file.write(csv_line(row));
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

void HistoryView::showStatus(const QString &text)
{
    ui->lbl_history_status->set_full_text(text);
}

void HistoryView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        fillResults();
        m_table.setRows(m_table.rows()); // rewords the results and headers
        showStatus(m_error.isEmpty() ? tr("%1 boards shown").arg(m_table.rows().size())
                                     : tr("Cannot read the history: %1").arg(m_error));
    }
    QWidget::changeEvent(event);
}

void HistoryView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}
