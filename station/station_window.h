#ifndef KT62_STATION_WINDOW_H
#define KT62_STATION_WINDOW_H

#include "serial/port_list.h"
#include "station/station_controller.h"
#include "station/station_setup.h"

#include <QMainWindow>
#include <QTimer>
#include <QTranslator>

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class StationWindow;
}
QT_END_NAMESPACE

class HistoryView;
class QIcon;

// The station's icon in every size it is drawn at.
QIcon station_icon();

// The KT62 Production Station: the firmware, the ports and the options on
// the left, a tile per port and the session's totals on the right, the
// board history on a tab of its own.
class StationWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr const char *CHINESE = "zh_CN";

    explicit StationWindow(const StationOptions &options, QWidget *parent = nullptr);
    ~StationWindow() override;

    StationController &controller() { return m_controller; }
    HistoryView &history() const;
    // The set-up as it stands in the window.
    StationOptions options() const;
    // A stop request from the system: boards in progress stop now, then the
    // program ends with the run's exit code.
    void stopAndQuit(int signal_number);

public slots:
    void setFirmware(const QString &path);
    void start();
    // Asks what to do with boards in progress, if there are any.
    void stop();
    void setLanguage(const QString &language);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    enum class StopChoice
    {
        Now,
        LetFinish,
        Cancel,
    };

    void connectActions();
    void apply(const StationOptions &options);
    void chooseFirmware();
    void renderFirmware();
    void refreshPorts();
    void renderPorts();
    void addPort();
    void removePort();
    QStringList checkedPorts() const;
    QString setupProblem() const;
    StopChoice askStop();
    bool stopServing(); // false when the operator cancelled
    void onServing(bool serving);
    void onEnded();
    void renderTiles();
    void renderTotals();
    void retranslate();
    // Shows text() in the status bar, again after each switch of language.
    void showStatus(std::function<QString()> text);
    void saveSettings() const;

    Ui::StationWindow *ui;
    StationController m_controller;
    QString m_firmware;
    FirmwareFacts m_facts;
    QList<PortDetails> m_present;  // the ports the system lists
    QStringList m_entries;         // ports added by hand
    QStringList m_checked;         // the ports to serve
    QStringList m_entries_present; // of those, the ones whose node is there
    QTimer m_port_scan;
    QString m_language;
    QTranslator m_translator;
    QTranslator m_qt_translator;
    std::function<QString()> m_status;
    bool m_close_on_end = false;
    bool m_quit_on_end = false;
};

#endif
