// The history's cost on a station (scripts/bench.py row i): BOARDS boards recorded one after
// another into a fresh SQLite file, as a station does (begin, wait for the row, complete, wait),
// then all of them exported as CSV. Prints one JSON object: the median and 95th percentile of one
// board's recording (begin to begun plus complete to completed) and the totals.
//
//     kt62-history-bench FOLDER [BOARDS]
#include "history/history.h"
#include "history/history_export.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {
constexpr int DEFAULT_BOARDS = 10000;
constexpr double NS_PER_MS = 1e6;
constexpr double PERCENTILE_95 = 0.95;

BoardRecord board(int n)
{
    BoardRecord r;
    r.started = QDateTime::currentDateTimeUtc();
    r.station = "bench";
    r.port = "usb:0403:6001:A50285BI";
    r.system_port = "/dev/ttyUSB0";
    r.usb_identity = r.port;
    r.device_model = "KT62";
    r.version_before = "01.00.00.00";
    r.target_version = "01.02.03.04";
    r.image_file = "KT62_V01.02.03.04.bin";
    r.image_sha256 = QString(64, 'f');
    r.result = "success";
    r.exit_code = 0;
    r.message = "Upgrade finished!";
    r.attempts = 1;
    r.blocks_sent = r.blocks_acknowledged = 201;
    r.naks = n % 5;
    r.query_seconds = 1.051;
    r.erase_seconds = 0.2;
    r.transfer_seconds = 18.01;
    r.completion_seconds = 0.001;
    return r;
}

// Records the boards one after another, each when the last one's row is complete.
class Station : public QObject
{
public:
    Station(History &history, int boards) : m_history(history), m_boards(boards)
    {
        connect(&history, &History::begun, this, [this](quint64 ticket, bool ok) {
            m_spent += m_clock.nsecsElapsed();
            if (!ok) {
                return stop(false);
            }
            m_clock.start();
            m_history.complete(ticket, board(m_done));
        });
        connect(&history, &History::completed, this, [this](quint64, bool ok) {
            m_costs.push_back((m_spent + m_clock.nsecsElapsed()) / NS_PER_MS);
            if (!ok || ++m_done == m_boards) {
                return stop(ok);
            }
            next();
        });
    }
    void next()
    {
        m_spent = 0;
        m_clock.start();
        m_history.begin(board(m_done));
    }
    std::vector<double> costs() const { return m_costs; }
    bool ok() const { return m_ok; }

private:
    void stop(bool ok)
    {
        m_ok = ok;
        QCoreApplication::quit();
    }
    History &m_history;
    int m_boards;
    int m_done = 0;
    bool m_ok = false;
    QElapsedTimer m_clock;
    qint64 m_spent = 0;
    std::vector<double> m_costs;
};

double at_share(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0
                          : values.at(std::min(values.size() - 1, size_t(share * values.size())));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: kt62-history-bench FOLDER [BOARDS]\n";
        return 2;
    }
    const int boards = args.size() > 2 ? args.at(2).toInt() : DEFAULT_BOARDS;
    HistoryTarget target;
    target.path = args.at(1) + "/bench.db";
    QElapsedTimer total;
    total.start();
    std::vector<double> costs;
    {
        History history(target);
        Station station(history, boards);
        QObject::connect(&history, &History::opened, &station, [&station](bool ok, QString error) {
            if (!ok) {
                QTextStream(stderr) << error << '\n';
                QCoreApplication::exit(1);
            }
            station.next();
        });
        history.open();
        if (app.exec() != 0 || !station.ok()) {
            return 1;
        }
        costs = station.costs();
    }
    const double recording = total.elapsed() / 1000.0;
    QFile csv(args.at(1) + "/bench.csv");
    QString error;
    total.start();
    if (!csv.open(QIODevice::WriteOnly) ||
        !export_history(target, {}, ExportFormat::Csv, &csv, &error)) {
        QTextStream(stderr) << error << '\n';
        return 1;
    }
    csv.close();
    const double exporting = total.elapsed() / 1000.0;
    const QJsonObject figures = {{"boards", boards},
                                 {"median_ms", at_share(costs, 0.5)},
                                 {"p95_ms", at_share(costs, PERCENTILE_95)},
                                 {"recording_s", recording},
                                 {"export_s", exporting},
                                 {"csv_bytes", csv.size()}};
    QTextStream(stdout) << QJsonDocument(figures).toJson(QJsonDocument::Compact) << '\n';
    return 0;
}
