#ifndef KT62_GPI_H
#define KT62_GPI_H

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <functional>

// The serial channel to the device. It owns the port, applies the fixed line
// settings and hands every received chunk on unframed; framing is the
// engine's business. Both directions are traced to the debug log in hex.
class GPI : public QObject
{
    Q_OBJECT
public:
    explicit GPI(QObject *parent = nullptr);
    ~GPI() override;

    // Writes len bytes when the port is open; the bytes are traced either way.
    void writeSerialData(const char *data, int len);
    bool isOpen() const;

    // The device the channel reads and writes: its serial port, unless a
    // stand-in was installed (a test's or a fuzz target's line, not owned).
    // The channel opens, closes, reads, writes and traces a stand-in as it
    // does the port; line settings and error reports stay the port's. A
    // stand-in that queues output may give a way to drop that queue. nullptr
    // goes back to the serial port.
    QIODevice *device() const { return m_device; }
    void set_device(QIODevice *device, std::function<void()> discard_output = {});

    // Bytes handed to the device that have not left it yet.
    qint64 pending_output() const;
    // Drops what the device still holds for the line. Bytes the system or
    // the adapter already took cannot be called back.
    void discard_output();
    // Whether the channel is announcing the loss of its port (an error
    // report): its listeners then see the port still open, but it may be
    // gone already and is closed as soon as they return.
    bool reporting_error() const { return m_reporting_error; }

    // Byte marks on the way out, counted since the channel was made: every
    // byte handed to the device has the mark of its position, and it has
    // left this program once departed_mark() reached that mark. Bytes the
    // channel dropped before they left (a discard, a close) never reach it.
    // A device can only answer what left: an acknowledgement read while the
    // block's last byte is still queued here answers nothing we sent.
    qint64 output_mark() const { return m_output_mark; }
    qint64 departed_mark() const { return m_output_mark - pending_output(); }

    // Why the last open failed, as the user has to act on it: the port is
    // not there, this user may not use it, another program holds it, or
    // something else (its own text says what). None after a good open.
    enum class OpenFailure
    {
        None,
        Missing,
        Permission,
        InUse,
        Other,
    };
    OpenFailure open_failure() const { return m_open_failure; }
    // The system's own words for the last open failure.
    QString open_failure_text() const { return m_open_failure_text; }

signals:
    void serial_status_changed(bool connected);
    void data_ready(QByteArray data);

public slots:
    void openSerialPort(QString com_name);
    void closeSerialPort();
    void handle_error(QSerialPort::SerialPortError error);
    void readSerialData();
    void decode_protocol(QByteArray m_array);

private:
    bool using_port() const { return m_device == m_serial; }
    void note_open_failure(const QString &port_name);
    // Takes the open port for this program alone; false (port closed) when
    // another opener holds it.
    bool claim_port();
    // What the device still holds is dropped with it, and never leaves.
    void forget_pending_output();

    // The program-wide channel never deletes its port: it lives as long as the
    // process and is torn down after the application object is gone. A
    // channel made for one job (a port of a multi-port run, a test) frees it.
    QSerialPort *m_serial;
    QIODevice *m_device;
    std::function<void()> m_discard_output;
    bool m_reporting_error = false;
    qint64 m_output_mark = 0;
    OpenFailure m_open_failure = OpenFailure::None;
    QString m_open_failure_text;
};

// The program's one serial channel.
extern GPI g_gpi;

#endif
