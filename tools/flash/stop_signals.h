#ifndef KT62_STOP_SIGNALS_H
#define KT62_STOP_SIGNALS_H

#include <QObject>

class QSocketNotifier;

// How a station hears SIGINT and SIGTERM, the way it is ended: the signal is
// delivered on the event loop as received(), so that the station can end
// its boards, write its summary and report, and exit. A second signal of the
// same kind ends the process at once, should the ending hang. The handlers
// are in place while the object lives.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    void received(int signal_number);

private:
    QSocketNotifier *m_notifier = nullptr; // none where signals are not caught
};

#endif
