#ifndef KT62_TEST_ENGINERIG_H
#define KT62_TEST_ENGINERIG_H

#include "logcapture.h"
#include "upgrader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

// The device's side of the wire, written down apart from the engine's own
// constants so that a wrong constant there shows.
namespace dev {
constexpr quint8 INFO = 0x11, ERASED = 0x22, RESULT = 0x35;
constexpr char ACK = 0x06, NAK = 0x15;
} // namespace dev

// An engine on a channel of its own that is never opened, with its own NAK
// count and firmware path. What it sends is read back from the channel's
// "sending:" trace; device chunks go in through the channel's receive path.
// The clock is stopped: tests advance it with tick().
class EngineRig
{
public:
    LogCapture log;
    GPI channel;
    int naks = 0;
    QString firmware;
    Upgrader engine{&channel, &naks, &firmware};
    // The engine's signals in order: "info:<text>", "progress:<n>",
    // "finished", "checked", "device", "target".
    QStringList events;

    EngineRig()
    {
        engine.m_clock_timer->stop();
        auto note = [this](const QString &event) { events << event; };
        QObject::connect(&engine, &Upgrader::upgrade_info,
                         [note](const QString &text) { note("info:" + text); });
        QObject::connect(&engine, &Upgrader::upgrade_progress,
                         [note](int value) { note("progress:" + QString::number(value)); });
        QObject::connect(&engine, &Upgrader::upgrade_finished, [note] { note("finished"); });
        QObject::connect(&engine, &Upgrader::checkVersion_finished, [note] { note("checked"); });
        QObject::connect(&engine, &Upgrader::device_info_update, [note] { note("device"); });
        QObject::connect(&engine, &Upgrader::target_firmware_update, [note] { note("target"); });
    }

    void device(const QByteArray &chunk) { channel.decode_protocol(chunk); }
    void tick(int ms)
    {
        for (int i = 0; i < ms / CLOCK_TICK_MS; ++i) {
            engine.update_sys_time();
        }
    }

    // Bytes written since the last call, as lowercase hex.
    QString takeSent()
    {
        const QStringList lines = log.lines();
        QString hex;
        const QString prefix = QStringLiteral("sending: \"");
        for (int i = m_lines_read; i < lines.size(); ++i) {
            if (lines[i].startsWith(prefix)) {
                hex += lines[i].mid(prefix.size()).chopped(1);
            }
        }
        m_lines_read = lines.size();
        return hex;
    }

    // Chooses a firmware file with the given name and content and loads it.
    bool load(const QString &name, const QByteArray &content)
    {
        firmware = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(firmware).path());
        QFile file(firmware);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            return false;
        }
        file.close();
        return engine.load_firmware();
    }

    // Drives an upgrade of an already loaded firmware into the transfer: the
    // device has answered and finished erasing, no NAK yet.
    void enterTransfer()
    {
        engine.start_upgrade();
        device(frame(dev::INFO, "KT62_V01.00.00.00"));
        device(frame(dev::ERASED, QByteArray(1, '\0')));
        takeSent();
        events.clear();
    }

    // A device frame, laid out by hand.
    static QByteArray frame(quint8 command, const QByteArray &payload)
    {
        QByteArray out;
        out.append('$');
        out.append(char(payload.size() & 0xFF));
        out.append(char(payload.size() >> 8));
        out.append(char(command));
        return out + payload;
    }

private:
    QTemporaryDir m_dir;
    int m_lines_read = 0;
};

#endif
