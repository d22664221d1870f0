#include "logcapture.h"

namespace {
QStringList g_lines;
bool g_active = false;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (g_active) {
        g_lines << message;
    }
}
} // namespace

LogCapture::LogCapture()
{
    g_lines.clear();
    g_active = true;
    m_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    g_active = false;
    qInstallMessageHandler(m_previous);
}

QStringList LogCapture::lines() const
{
    return g_lines;
}

void LogCapture::clear()
{
    g_lines.clear();
}
