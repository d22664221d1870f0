#ifndef KT62_STOP_SIGNALS_H
#define KT62_STOP_SIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// The requests to stop that reach a console program: SIGINT, SIGTERM and
// SIGHUP on Unix; Ctrl+C, Ctrl+Break and the console's closing on Windows
// (taken as signals 2, 21 and 1). While an object lives, the first such
// request does not end the process but becomes stopRequested() on the event
// loop, so that a run can stop in order: nothing more sent, the report
// written, the ports closed (their locks released). A second request ends
// the process at once. One object at a time holds the handlers.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Whether the handlers are in place.
    bool active() const { return m_active; }
    // "SIGINT", "SIGTERM", "SIGHUP" (and on Windows "Ctrl+Break"), or
    // "signal N".
    static QString name(int signal_number);

signals:
    void stopRequested(int signal_number);

private slots:
    void deliver(int signal_number);
    void onReadable();

private:
    bool m_active = false;
    bool m_delivered = false;
    int m_read_end = -1;
    QSocketNotifier *m_notifier = nullptr;
};

#endif
