#ifndef KT62_TEST_LOGCAPTURE_H
#define KT62_TEST_LOGCAPTURE_H

#include <QStringList>
#include <QtGlobal>

// Collects the debug log while it lives (one entry per line, as the program
// would print it) and restores the previous handler afterwards.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    bool contains(const QString &line) const { return lines().contains(line); }
    void clear();

private:
    QtMessageHandler m_previous;
};

#endif
