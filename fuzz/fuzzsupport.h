#ifndef KT62_FUZZ_SUPPORT_H
#define KT62_FUZZ_SUPPORT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QIODevice>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>

// A broken invariant is a finding: say which and stop, so libFuzzer keeps
// the input as a crash.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Reads the fuzzer's input front to back; past its end it reads zeros.
struct FuzzInput
{
    const uint8_t *data;
    size_t size;
    bool atEnd() const { return size == 0; }
    uint8_t byte() { return atEnd() ? 0 : (--size, *data++); }
    QByteArray bytes(size_t n)
    {
        n = qMin(n, size);
        const QByteArray out(reinterpret_cast<const char *>(data), int(n));
        data += n;
        size -= n;
        return out;
    }
};

// A stand-in for the serial port (GPI::set_device): every write the channel
// makes is handed to a watcher, which may check what the engine was in when
// it sent it.
class FuzzLine : public QIODevice
{
public:
    explicit FuzzLine(std::function<void(const QByteArray &)> watcher)
        : m_watcher(std::move(watcher))
    {}
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64) override { return 0; }
    qint64 writeData(const char *data, qint64 len) override
    {
        m_watcher(QByteArray::fromRawData(data, int(len)));
        return len;
    }

private:
    std::function<void(const QByteArray &)> m_watcher;
};

// The engine's timers need an application object; its debug lines are kept
// off stderr unless a target watches them itself.
inline void fuzz_init_application(QtMessageHandler handler)
{
    static int argc = 1;
    static char name[] = "kt62-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler(handler);
}

inline void fuzz_quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// A scratch directory that lives as long as the process.
inline QString fuzz_scratch_dir()
{
    static QTemporaryDir dir;
    return dir.path();
}

#endif
