#ifndef KT62_PROGRESS_DISPLAY_H
#define KT62_PROGRESS_DISPLAY_H

#include <QElapsedTimer>
#include <QString>

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

    ProgressDisplay(Style style, FILE *out);

    void status(const QString &text);
    void progress(int percent, qint64 bytes, qint64 total, qint64 elapsed_ms);
    // Ends a bar in progress so that later output starts on a line of its own.
    void endLine();

private:
    void write(const QString &text);

    Style m_style;
    FILE *m_out;
    bool m_bar_shown = false;
    int m_last_percent = -1;
    QElapsedTimer m_last_draw;
    QString m_last_bar;
};

#endif
