#ifndef KT62_HISTORY_VIEW_H
#define KT62_HISTORY_VIEW_H

#include "history/board_record.h"
#include "history/history_export.h"
#include "history/history_target.h"

#include <QAbstractTableModel>
#include <QThread>
#include <QVector>
#include <QWidget>

QT_BEGIN_NAMESPACE
namespace Ui {
class HistoryView;
}
QT_END_NAMESPACE

// What the view asks of the history: the result and the start of the
// period go to the database's query, the port and the end of the period
// are applied to the rows it returns.
struct HistoryQuery
{
    HistoryTarget target;
    HistoryFilter filter;
    QString port;    // empty: any
    QDateTime until; // UTC, rows started before it; invalid: no end
};

struct HistoryRows
{
    QVector<BoardRecord> rows; // newest first
    QStringList ports;         // every port among the rows before the port's filter
    QString error;
};
Q_DECLARE_METATYPE(HistoryRows)

// Reads the history on a thread of its own, so that a large history or a
// slow server never stalls the ports, which share the window's event loop.
class HistoryReader : public QObject
{
    Q_OBJECT
public:
    void read(quint64 request, const HistoryQuery &query);

signals:
    void done(quint64 request, const HistoryRows &rows);
};

class HistoryTable : public QAbstractTableModel
{
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setRows(const QVector<BoardRecord> &rows);
    const QVector<BoardRecord> &rows() const { return m_rows; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QVector<BoardRecord> m_rows;
};

// The board history, newest first, from every program that writes to it
// (this station, kt62-flash, other stations), filtered by result, port and
// date, and exported as CSV.
class HistoryView : public QWidget
{
    Q_OBJECT
public:
    explicit HistoryView(QWidget *parent = nullptr);
    ~HistoryView() override;

    // The history to show: an SQLite file or a PostgreSQL URL.
    void setTarget(const QString &target);
    const HistoryTable &table() const { return m_table; }

public slots:
    void refresh();
    void exportCsv();

signals:
    // The rows of the last read are shown.
    void rowsShown(int count);

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void fillResults();
    void onRead(quint64 request, const HistoryRows &rows);
    void showStatus(const QString &text);
    bool writeCsv(const QString &path, QString *error) const;

    Ui::HistoryView *ui;
    HistoryTable m_table;
    QString m_target;
    QThread m_thread;
    HistoryReader *m_reader;
    quint64 m_request = 0;
    QString m_error; // of the last read, shown again after a switch of language
};

#endif
