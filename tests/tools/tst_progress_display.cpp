// What the flasher shows while it works: rates, times left and the bar.

#include "progress_display.h"

#include <QtTest>

#include <cstdio>

class TestProgressDisplay : public QObject
{
    Q_OBJECT
private slots:
    void formatsProgress_data();
    void formatsProgress();
    void plainLinesEveryTenth();
};

void TestProgressDisplay::formatsProgress_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("elapsed_ms");
    QTest::addColumn<QString>("expected");

    QTest::newRow("too early for a rate")
        << 1 << 1024LL << 204804LL << 100LL << "  1%  1024/204804 B";
    QTest::newRow("bytes per second")
        << 50 << 500LL << 1000LL << 1000LL << " 50%  500/1000 B  500 B/s  0:01 left";
    QTest::newRow("line speed at 115200") << 10 << 114630LL << 1146300LL << 10000LL
                                          << " 10%  114630/1146300 B  11.2 KiB/s  1:30 left";
    QTest::newRow("pty speed") << 75 << 3145728LL << 4194304LL << 1000LL
                               << " 75%  3145728/4194304 B  3.0 MiB/s  0:00 left";
    QTest::newRow("over an hour left")
        << 1 << 1024LL << 67107840LL << 1000LL << "  1%  1024/67107840 B  1.0 KiB/s  18:12:14 left";
    QTest::newRow("done") << 100 << 204804LL << 204804LL << 2000LL
                          << "100%  204804/204804 B  100.0 KiB/s  0:00 left";
}

void TestProgressDisplay::formatsProgress()
{
    QFETCH(int, percent);
    QFETCH(qint64, bytes);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsed_ms);
    QFETCH(QString, expected);
    QCOMPARE(format_progress(percent, bytes, total, elapsed_ms), expected);
}

void TestProgressDisplay::plainLinesEveryTenth()
{
    FILE *out = std::tmpfile();
    QVERIFY(out);
    {
        ProgressDisplay display(ProgressDisplay::Style::Lines, out);
        display.status("Erase finished, begin upgrade...");
        for (int packet = 1; packet <= 21; ++packet) {
            display.progress(int(float(packet) / 21.0f * 100.0f), packet * 1024LL, 21504, 0);
        }
        display.status("");
        display.status("Waitting for completion...");
    }
    std::rewind(out);
    char buffer[4096] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    const QStringList lines = QString::fromLatin1(buffer, int(n)).split('\n', Qt::SkipEmptyParts);
    // The status texts as they came (an empty one shows nothing), and one
    // line as each tenth is passed: 14% is the first, 100% the last.
    QCOMPARE(lines.size(), 12);
    QCOMPARE(lines.first(), QString("Erase finished, begin upgrade..."));
    QCOMPARE(lines.at(1), QString("progress  14%  3072/21504 B"));
    QCOMPARE(lines.at(10), QString("progress 100%  21504/21504 B"));
    QCOMPARE(lines.last(), QString("Waitting for completion..."));
    QCOMPARE(format_bar(42, 10), QString("[####......]"));
}

QTEST_GUILESS_MAIN(TestProgressDisplay)
#include "tst_progress_display.moc"
