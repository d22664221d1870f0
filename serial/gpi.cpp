#include "serial/gpi.h"

#include "serial/port_access.h"

#include <QDebug>
#include <QScopedValueRollback>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#endif

GPI g_gpi;

namespace {
constexpr qint32 BAUD_RATE = 115200;

QString hex_text(const char *data, int len)
{
    return QString::fromLatin1(QByteArray::fromRawData(data, qMax(len, 0)).toHex());
}
} // namespace

GPI::GPI(QObject *parent) : QObject(parent), m_serial(new QSerialPort()), m_device(m_serial)
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
    return m_device->isOpen();
}

void GPI::set_device(QIODevice *device, std::function<void()> discard_output)
{
    disconnect(m_device, SIGNAL(readyRead()), this, SLOT(readSerialData()));
    m_device = device ? device : m_serial;
    m_discard_output = device ? std::move(discard_output) : nullptr;
    connect(m_device, SIGNAL(readyRead()), this, SLOT(readSerialData()));
}

qint64 GPI::pending_output() const
{
    return m_device->isOpen() ? m_device->bytesToWrite() : 0;
}

void GPI::discard_output()
{
    if (!m_device->isOpen()) {
        return;
    }
    const qint64 held = pending_output();
    if (using_port()) {
        m_serial->clear(QSerialPort::Output);
    } else if (m_discard_output) {
        m_discard_output();
    }
    m_output_mark -= held - pending_output();
}

void GPI::forget_pending_output()
{
    m_output_mark -= pending_output();
}

void GPI::openSerialPort(QString com_name)
{
    m_serial->setPortName(com_name);
    m_open_failure = OpenFailure::None;
    m_open_failure_text.clear();
    if (!m_device->open(QIODevice::ReadWrite)) {
        note_open_failure(com_name);
        qDebug() << "serial port open failed!";
    } else if (!claim_port()) {
        qDebug() << "serial port open failed!";
    }
    // Applied even after a failed open: QSerialPort then only stores them.
    m_serial->setBaudRate(BAUD_RATE, QSerialPort::AllDirections);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    emit serial_status_changed(isOpen());
}

void GPI::closeSerialPort()
{
    if (m_device->isOpen()) {
        // The port writes from its buffer only when the event loop reports
        // it writable; what is still queued (the cancel frame that ends a
        // version check) goes out before the close instead of being dropped.
        if (using_port()) {
            m_serial->flush();
        }
        forget_pending_output();
        m_device->close();
    }
    emit serial_status_changed(isOpen());
}

void GPI::note_open_failure(const QString &port_name)
{
    m_open_failure_text = m_device->errorString();
    if (!using_port()) {
        m_open_failure = OpenFailure::Other;
        return;
    }
    switch (m_serial->error()) {
    case QSerialPort::DeviceNotFoundError:
        m_open_failure = OpenFailure::Missing;
        break;
    case QSerialPort::PermissionError: {
        // A port that another program has open or locked is reported as a
        // permission error too; only the node tells whether this user lacks
        // the right. Without a node (Windows) the system refuses a second
        // opener of a COM port this way.
        const std::optional<PortNodeFacts> facts = port_node_facts(port_name);
        const bool refused_to_user = facts && facts->exists && !facts->accessible;
        m_open_failure = refused_to_user ? OpenFailure::Permission : OpenFailure::InUse;
        break;
    }
    default:
        m_open_failure = OpenFailure::Other;
        break;
    }
}

bool GPI::claim_port()
{
#ifdef Q_OS_UNIX
    // Qt's lock file goes by the port's name and its exclusive mode does not
    // stop root, so the same device under another name (a link, a second
    // path) could be opened twice, by this program or another, and get two
    // images at once. A lock on the open device itself holds under any name.
    if (!using_port() || ::flock(int(m_serial->handle()), LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    m_open_failure = OpenFailure::InUse;
    m_open_failure_text = QString::fromLocal8Bit(std::strerror(errno));
    m_serial->close();
    return false;
#else
    // Windows gives a COM port to one opener at a time by itself.
    return true;
#endif
}

void GPI::handle_error(QSerialPort::SerialPortError error)
{
    // Any report counts as a lost connection. The port is closed only after
    // the announcement, so listeners still see it open while they react.
    Q_UNUSED(error);
    {
        // Restored, not cleared: a listener's act may raise a nested report.
        const QScopedValueRollback<bool> reporting(m_reporting_error, true);
        emit serial_status_changed(false);
    }
    if (m_device->isOpen()) {
        forget_pending_output();
        m_device->close();
    }
}

void GPI::readSerialData()
{
    decode_protocol(m_device->readAll());
}

void GPI::decode_protocol(QByteArray m_array)
{
    qDebug() << "received:" << hex_text(m_array.constData(), m_array.size());
    emit data_ready(m_array);
}

void GPI::writeSerialData(const char *data, int len)
{
    qDebug() << "sending:" << hex_text(data, len);
    if (m_device->isOpen()) {
        const qint64 taken = m_device->write(data, len);
        if (taken > 0) {
            m_output_mark += taken;
        }
    } else {
        qDebug() << "Serial port not open!";
    }
}
