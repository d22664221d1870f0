#include "tools/flash/progress_display.h"

#include "common/units.h"

namespace {
constexpr double KIB = 1024.0;
constexpr double MIB = KIB * 1024.0;
constexpr int SECONDS_PER_MINUTE = 60;
constexpr int SECONDS_PER_HOUR = 3600;
constexpr int LINE_STEP_PERCENT = 10;
constexpr int BAR_WIDTH = 30;
// Redrawing more often than this only costs time; the eye cannot follow.
constexpr qint64 REDRAW_INTERVAL_MS = 100;
// Before this much of the transfer has passed a rate means little.
constexpr qint64 RATE_MIN_ELAPSED_MS = 200;
const char CLEAR_LINE[] = "\r\033[K";
// Moves the cursor up by %1 lines.
const char CURSOR_UP[] = "\033[%1A";
// A line longer than the terminal wraps, and moving up by the number of
// ports would then land on the wrong line; most terminals are this wide.
constexpr int PARALLEL_LINE_WIDTH = 79;
constexpr int PARALLEL_BAR_WIDTH = 20;
} // namespace

QString format_rate(double bytes_per_second)
{
    if (bytes_per_second >= MIB) {
        return QStringLiteral("%1 MiB/s").arg(bytes_per_second / MIB, 0, 'f', 1);
    }
    if (bytes_per_second >= KIB) {
        return QStringLiteral("%1 KiB/s").arg(bytes_per_second / KIB, 0, 'f', 1);
    }
    return QStringLiteral("%1 B/s").arg(qint64(bytes_per_second));
}

QString format_duration(qint64 seconds)
{
    const QLatin1Char zero('0');
    if (seconds >= SECONDS_PER_HOUR) {
        return QStringLiteral("%1:%2:%3")
            .arg(seconds / SECONDS_PER_HOUR)
            .arg(seconds % SECONDS_PER_HOUR / SECONDS_PER_MINUTE, 2, 10, zero)
            .arg(seconds % SECONDS_PER_MINUTE, 2, 10, zero);
    }
    return QStringLiteral("%1:%2")
        .arg(seconds / SECONDS_PER_MINUTE)
        .arg(seconds % SECONDS_PER_MINUTE, 2, 10, zero);
}

QString format_progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms)
{
    QString line = QStringLiteral("%1%  %2/%3 B").arg(percent, 3).arg(bytes).arg(total);
    if (elapsed_ms >= RATE_MIN_ELAPSED_MS && bytes > 0) {
        const double rate = double(bytes) * MS_PER_SECOND / double(elapsed_ms);
        const qint64 left = qint64(double(total - bytes) / rate + 0.5);
        line += QStringLiteral("  %1  %2 left").arg(format_rate(rate), format_duration(left));
    }
    return line;
}

QString format_bar(int percent, int width)
{
    const int filled = qBound(0, percent, PERCENT) * width / PERCENT;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(width - filled, QLatin1Char('.')) + QLatin1Char(']');
}

ProgressDisplay::ProgressDisplay(Style style, FILE *out, const QString &prefix)
    : m_style(style), m_out(out), m_prefix(prefix)
{}

void ProgressDisplay::write(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
}

void ProgressDisplay::status(const QString &text)
{
    if (m_style == Style::Quiet || text.isEmpty()) {
        return;
    }
    if (m_bar_shown) {
        // The text goes above the bar, which is drawn again below it.
        write(CLEAR_LINE + text + QLatin1Char('\n') + m_last_bar);
        return;
    }
    write(m_prefix + text + QLatin1Char('\n'));
}

void ProgressDisplay::progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms)
{
    if (m_style == Style::Quiet) {
        return;
    }
    if (m_style == Style::Lines) {
        // One line per tenth, and one for the end, keep a log readable.
        if (percent / LINE_STEP_PERCENT > m_last_percent / LINE_STEP_PERCENT ||
            (percent == PERCENT && m_last_percent != PERCENT)) {
            write(m_prefix + QStringLiteral("progress ") +
                  format_progress(percent, bytes, total, elapsed_ms) + QLatin1Char('\n'));
        }
        m_last_percent = percent;
        return;
    }
    const bool due = !m_last_draw.isValid() || m_last_draw.elapsed() >= REDRAW_INTERVAL_MS;
    const bool complete = percent == PERCENT && m_last_percent != PERCENT;
    if (!due && !complete) {
        return;
    }
    m_last_percent = percent;
    m_last_draw.start();
    m_last_bar = format_bar(percent, BAR_WIDTH) + QLatin1Char(' ') +
                 format_progress(percent, bytes, total, elapsed_ms);
    write(QLatin1Char('\r') + m_last_bar);
    m_bar_shown = true;
}

void ProgressDisplay::endLine()
{
    if (m_bar_shown) {
        write(QStringLiteral("\n"));
        m_bar_shown = false;
    }
}

void ProgressDisplay::restart()
{
    endLine();
    m_last_percent = -1;
}

ParallelDisplay::ParallelDisplay(const QStringList &ports, FILE *out) : m_ports(ports), m_out(out)
{
    for (const QString &port : ports) {
        m_news << QString();
        m_port_width = qMax(m_port_width, int(port.size()));
    }
}

void ParallelDisplay::status(int port, const QString &text)
{
    if (!text.isEmpty()) {
        setLine(port, text, true);
    }
}

void ParallelDisplay::progress(int port, int percent, qint64 bytes, qint64 total, qint64 elapsed_ms)
{
    setLine(port,
            format_bar(percent, PARALLEL_BAR_WIDTH) + QLatin1Char(' ') +
                format_progress(percent, bytes, total, elapsed_ms),
            percent == PERCENT);
}

void ParallelDisplay::setLine(int port, const QString &text, bool urgent)
{
    m_news[port] = text;
    m_dirty = true;
    if (urgent || !m_last_draw.isValid() || m_last_draw.elapsed() >= REDRAW_INTERVAL_MS) {
        draw();
    }
}

void ParallelDisplay::flush()
{
    if (m_dirty || !m_drawn) {
        draw();
    }
}

void ParallelDisplay::draw()
{
    QString text;
    if (m_drawn) {
        text += QString::fromLatin1(CURSOR_UP).arg(m_ports.size());
    }
    for (int i = 0; i < m_ports.size(); ++i) {
        const QString line =
            m_ports.at(i).leftJustified(m_port_width) + QStringLiteral("  ") + m_news.at(i);
        text += CLEAR_LINE + line.left(PARALLEL_LINE_WIDTH) + QLatin1Char('\n');
    }
    std::fputs(text.toLocal8Bit().constData(), m_out);
    std::fflush(m_out);
    m_drawn = true;
    m_dirty = false;
    m_last_draw.start();
}
