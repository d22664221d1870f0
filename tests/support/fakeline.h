#ifndef KT62_TEST_FAKELINE_H
#define KT62_TEST_FAKELINE_H

#include <QIODevice>

// A stand-in for the serial port, installed in a channel with
// GPI::set_device: it keeps what the channel writes and hands the channel
// bytes to read. Stalled, it holds written bytes back as a line that does
// not drain would, so that what the channel queues can be watched.
class FakeLine : public QIODevice
{
public:
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_in.size() + QIODevice::bytesAvailable(); }
    qint64 bytesToWrite() const override { return held.size(); }

    // The device sends bytes: the channel is told there is something to read.
    void feed(const QByteArray &bytes)
    {
        m_in += bytes;
        emit readyRead();
    }
    // What left the line since the last call.
    QByteArray take_sent() { return std::exchange(sent, QByteArray()); }
    // The line drains again; what it held goes out.
    void drain()
    {
        stalled = false;
        sent += std::exchange(held, QByteArray());
    }
    void discard() { held.clear(); }

    bool stalled = false;
    QByteArray sent; // left the line
    QByteArray held; // written while stalled, not yet on the line

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin<qint64>(max, m_in.size());
        std::copy_n(m_in.constData(), n, data);
        m_in.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *data, qint64 len) override
    {
        (stalled ? held : sent).append(data, int(len));
        return len;
    }

private:
    QByteArray m_in;
};

#endif
