#include "serial/gpi.h"

#include <QDebug>

GPI g_gpi;

namespace {
constexpr qint32 BAUD_RATE = 115200;

QString hex_text(const char *data, int len)
{
    return QString::fromLatin1(QByteArray::fromRawData(data, qMax(len, 0)).toHex());
}
} // namespace

GPI::GPI(QObject *parent) : QObject(parent), m_serial(new QSerialPort())
{
    connect(m_serial, SIGNAL(readyRead()), this, SLOT(readSerialData()));
    connect(m_serial, SIGNAL(errorOccurred(QSerialPort::SerialPortError)), this,
            SLOT(handle_error(QSerialPort::SerialPortError)));
}

GPI::~GPI()
{
    if (this != &g_gpi) {
        delete m_serial;
    }
}

bool GPI::isOpen() const
{
    return m_serial->isOpen();
}

void GPI::openSerialPort(QString com_name)
{
    m_serial->setPortName(com_name);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        qDebug() << "serial port open failed!";
    }
    // Applied even after a failed open: QSerialPort then only stores them.
    m_serial->setBaudRate(BAUD_RATE, QSerialPort::AllDirections);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    emit serial_status_changed(m_serial->isOpen());
}

void GPI::closeSerialPort()
{
    if (m_serial->isOpen()) {
        // The port writes from its buffer only when the event loop reports
        // it writable; what is still queued (the cancel frame that ends a
        // version check) goes out before the close instead of being dropped.
        m_serial->flush();
        m_serial->close();
    }
    emit serial_status_changed(m_serial->isOpen());
}

void GPI::handle_error(QSerialPort::SerialPortError error)
{
    // Any report counts as a lost connection. The port is closed only after
    // the announcement, so listeners still see it open while they react.
    Q_UNUSED(error);
    emit serial_status_changed(false);
    if (m_serial->isOpen()) {
        m_serial->close();
    }
}

void GPI::readSerialData()
{
    decode_protocol(m_serial->readAll());
}

void GPI::decode_protocol(QByteArray m_array)
{
    qDebug() << "received:" << hex_text(m_array.constData(), m_array.size());
    emit data_ready(m_array);
}

void GPI::writeSerialData(const char *data, int len)
{
    qDebug() << "sending:" << hex_text(data, len);
    if (m_serial->isOpen()) {
        m_serial->write(data, len);
    } else {
        qDebug() << "Serial port not open!";
    }
}
