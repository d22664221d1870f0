#ifndef KT62_TEST_LOGCAPTURE_H
#define KT62_TEST_LOGCAPTURE_H

#include <QStringList>

// Collects the debug log while it lives, one entry per line as the program
// would print it, and restores the previous handler afterwards.
class LogCapture
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(capture)) { lines().clear(); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static QStringList &lines()
    {
        static QStringList collected;
        return collected;
    }
    bool contains(const QString &line) const { return lines().contains(line); }

private:
    static void capture(QtMsgType, const QMessageLogContext &, const QString &line)
    {
        lines() << line;
    }
    QtMessageHandler m_previous;
};

#endif
