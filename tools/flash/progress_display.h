#ifndef KT62_PROGRESS_DISPLAY_H
#define KT62_PROGRESS_DISPLAY_H

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <cstdio>

// Rate as "812 B/s", "11.2 KiB/s" or "3.4 MiB/s".
QString format_rate(double bytes_per_second);
// Seconds as "m:ss", or "h:mm:ss" from an hour on.
QString format_duration(qint64 seconds);
// One progress line without the bar: percent, bytes, rate and time left
// (rate and time left only once some time has passed).
QString format_progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
// The bar of width cells, filled in proportion to percent.
QString format_bar(int percent, int width);

// Writes the run's progress and status texts to one stream: a bar redrawn in
// place on a terminal, plain lines (every tenth of the way) otherwise.
class ProgressDisplay
{
public:
    enum class Style
    {
        Bar,
        Lines,
        Quiet
    };

    // prefix goes in front of every plain line (the port, when several
    // ports share the stream).
    ProgressDisplay(Style style, FILE *out, const QString &prefix = QString());

    void status(const QString &text);
    void progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    // Ends a bar in progress so that later output starts on a line of its own.
    void endLine();
    // A new run on the same port (a retry, a station's next board): its
    // progress is shown from the start again.
    void restart();

private:
    void write(const QString &text);

    Style m_style;
    FILE *m_out;
    QString m_prefix;
    bool m_bar_shown = false;
    int m_last_percent = -1;
    QElapsedTimer m_last_draw;
    QString m_last_bar;
};

// The progress of a parallel run (several ports at once) on a terminal: one
// line per port, all redrawn in place. Each line shows the port and its
// latest news: a status text, the bar while the image goes out, and the
// result at the end.
class ParallelDisplay
{
public:
    ParallelDisplay(const QStringList &ports, FILE *out);

    void status(int port, const QString &text);
    void progress(int port, int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    // Draws the lines as they stand, whatever the time since the last draw.
    void flush();

private:
    void setLine(int port, const QString &text, bool urgent);
    void draw();

    QStringList m_ports;
    QStringList m_news;
    FILE *m_out;
    int m_port_width = 0;
    bool m_drawn = false;
    bool m_dirty = false;
    QElapsedTimer m_last_draw;
};

#endif
