#ifndef KT62_TEST_FAKEDEVICE_H
#define KT62_TEST_FAKEDEVICE_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;

// A scripted KT62 for tests. It owns a pseudo-terminal pair: the code under
// test opens slavePath() as its serial port, the device plays the master
// end. Whatever the tool writes is parsed as the device would and answered
// at once, each answer in one write:
//  - the start sequence is counted, not answered;
//  - a query (0x10) is answered with a 0x11 frame carrying script.info;
//  - a begin-upgrade (0x20) records the size and answers with the erase
//    finished frame (24 01 00 22 00) followed by three NAKs;
//  - a good block (right number, complement and sum) is kept and ACKed; a
//    bad one gets three NAKs. Bursts of three always bring exactly one block,
//    whatever the tool's NAK count stood at;
//  - after the last block of the announced size, one more ACK;
//  - the end of transmission (04 00) is answered with the result frame
//    24 01 00 35 <script.result>.
// Wait on the signals (QSignalSpy::wait) rather than on time.
class FakeDevice : public QObject
{
    Q_OBJECT
public:
    struct Script
    {
        QByteArray info = "KT62_V01.00.00.00"; // payload of the 0x11 answer
        quint8 result = 0x00;                  // result byte; anything but 0 is a failure
        bool answer_query = true;              // false: queries go unanswered
        int silent_after_blocks = -1;          // after this many good blocks, answer nothing
        bool send_result = true;               // false: the end of transmission is not answered
    };

    // What the tool sent; cleared only by clearSeen().
    struct Seen
    {
        QByteArray bytes; // every byte, in order
        int start_sequences = 0;
        QList<QByteArray> queries; // payload of each 0x10 frame
        int cancels = 0;           // 0x21 frames
        quint32 announced_size = 0;
        QList<quint8> block_numbers; // of the good blocks, in order
        QByteArray image;            // data of the good blocks (last one padded)
        int bad_blocks = 0;
        bool transmission_ended = false;
    };

    explicit FakeDevice(QObject *parent = nullptr);
    ~FakeDevice() override;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slave_path; }

    Script script;
    const Seen &seen() const { return m_seen; }
    void clearSeen() { m_seen = Seen(); }

signals:
    void queryReceived();
    void cancelReceived();
    void eraseRequested(quint32 size);
    void blockAccepted(int good_blocks);
    void resultSent(quint8 result);

private:
    void readAvailable();
    void flush();
    void reply(const QByteArray &bytes);
    void replyFrame(quint8 command, const QByteArray &payload);
    bool takeCommand();
    bool takeTransferUnit();
    void onFrame(quint8 command, const QByteArray &payload);
    void beginTransfer(const QByteArray &size_payload);
    void onBlock(const QByteArray &block);

    int m_master = -1;
    int m_slave_keepalive = -1;
    QString m_slave_path;
    QSocketNotifier *m_read_notifier = nullptr;
    QSocketNotifier *m_write_notifier = nullptr;
    QByteArray m_in;
    QByteArray m_out;
    bool m_transfer = false;
    bool m_silent = false;
    int m_good_blocks = 0;
    int m_blocks_expected = 0;
    quint8 m_expected_number = 1;
    Seen m_seen;
};

#endif
