// What the flasher shows while it works: rates, times left, plain lines for
// logs and the per-port lines redrawn in place.

#include "progress_display.h"

#include <QtTest>

namespace {
// Everything written to a temporary stream by fill.
template <typename Fill> QString written(Fill fill)
{
    FILE *out = std::tmpfile();
    fill(out);
    std::rewind(out);
    char buffer[4096] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    return QString::fromLatin1(buffer, int(n));
}
} // namespace

class TestProgressDisplay : public QObject
{
    Q_OBJECT
private slots:
    void formatsProgress_data();
    void formatsProgress();
    void drawsLines();
};

void TestProgressDisplay::formatsProgress_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("elapsed_ms");
    QTest::addColumn<QString>("expected"); // of 1146300 bytes

    QTest::newRow("bytes per second")
        << 500LL << 1000LL << "  0%  500/1146300 B  500 B/s  38:12 left";
    QTest::newRow("line speed at 115200")
        << 114630LL << 10000LL << " 10%  114630/1146300 B  11.2 KiB/s  1:30 left";
    QTest::newRow("over an hour left")
        << 100LL << 1000LL << "  0%  100/1146300 B  100 B/s  3:11:02 left";
}

void TestProgressDisplay::formatsProgress()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, elapsed_ms);
    QFETCH(QString, expected);
    QCOMPARE(format_progress(int(bytes * 100 / 1146300), bytes, 1146300, elapsed_ms), expected);
}

void TestProgressDisplay::drawsLines()
{
    const QStringList lines =
        written([](FILE *out) {
            ProgressDisplay display(ProgressDisplay::Style::Lines, out, "ttyA: ");
            display.status("Erase finished, begin upgrade...");
            for (int packet = 1; packet <= 21; ++packet) {
                display.progress(int(float(packet) / 21.0f * 100.0f), packet * 1024LL, 21504, 0);
            }
            display.status(""); // shows nothing
        }).split('\n', Qt::SkipEmptyParts);
    // One line as each tenth is passed: 14% is the first, 100% the last.
    QCOMPARE(lines.size(), 11);
    QCOMPARE(lines.first(), QString("ttyA: Erase finished, begin upgrade..."));
    QCOMPARE(lines.at(1), QString("ttyA: progress  14%  3072/21504 B"));
    QCOMPARE(lines.last(), QString("ttyA: progress 100%  21504/21504 B"));

    // Several ports on a terminal: drawn twice, the second time two lines up.
    const QString text = written([](FILE *out) {
        StationDisplay display({"ttyA", "ttyLONG"}, out);
        display.status(0, "Erasing Chip...");
        display.progress(1, 100, 21504, 21504, 0); // the end is drawn at once
    });
    const QString a = "\r\033[KttyA     Erasing Chip...\n";
    QCOMPARE(text, a + "\r\033[KttyLONG  \n\033[2A" + a + "\r\033[KttyLONG  " +
                       format_bar(100, 20) + " 100%  21504/21504 B\n");
}

QTEST_GUILESS_MAIN(TestProgressDisplay)
#include "tst_progress_display.moc"
