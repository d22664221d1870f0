#ifndef KT62_GPI_H
#define KT62_GPI_H

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

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
    // The program-wide channel never deletes its port: it lives as long as the
    // process and is torn down after the application object is gone. A
    // channel made for one job (a port of a multi-port run, a test) frees it.
    QSerialPort *m_serial;
};

// The program's one serial channel.
extern GPI g_gpi;

#endif
