#ifndef KT62_TEST_FAKEDEVICE_H
#define KT62_TEST_FAKEDEVICE_H

#include "testpty.h"

#include <QObject>
#include <QTimer>

// The device's side of the wire, written down apart from the tool's constants
// so that a wrong constant there shows.
namespace dev {
constexpr char QUERY = 0x10, INFO = 0x11, BEGIN = 0x20, CANCEL = 0x21, ERASED = 0x22, RESULT = 0x35,
               STX = 0x02, ACK = 0x06, NAK = 0x15;
inline QByteArray frame(char command, const QByteArray &payload)
{
    return QByteArray(1, '$') + char(payload.size()) + char(payload.size() >> 8) + command +
           payload;
}
} // namespace dev

// A scripted KT62 on a pseudo terminal whose slavePath() the code under test
// opens. It answers at once: a query with script.info, a begin-upgrade with
// "erase finished" and three NAKs, each block with an ACK (the last with two),
// the end of transmission with script.result. Tests compare what it saw.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    struct Script
    {
        QByteArray info = "KT62_V01.00.00.00";
        quint8 result = 0x00; // anything but 0 is a failure
        bool answer_query = true;
    } script;
    struct Seen
    {
        QByteArray bytes, image; // all the tool sent; the data of its blocks
    };

    FakeDevice();
    bool isValid() const { return m_pty.isValid(); }
    QString slavePath() const { return m_pty.slavePath(); }
    const Seen &seen() const { return m_seen; }

signals:
    void queryReceived();
    void cancelReceived();

private:
    int take(); // bytes of the input answered, 0 when more are needed

    Pty m_pty;
    QTimer m_poll;
    QByteArray m_in;
    Seen m_seen;
    int m_blocks_left = -1; // -1 outside a transfer
};

#endif
