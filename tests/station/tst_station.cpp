// The station's window serving kt62-sim boards that are plugged in and pulled out, and the
// program itself from its command line to SIGTERM.
#include "firmware/firmware_image.h"
#include "history/history_export.h"
#include "serial/gpi.h"
#include "serial/port_access.h"
#include "station/history_view.h"
#include "station/port_tile.h"
#include "station/station_window.h"
#include "tests/tools/flash_run.h"
#include "widgets/prompts.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <memory>
#include <vector>

namespace {
using Verdict = PortTileModel::Verdict;
using Activity = PortTileModel::Activity;
constexpr int BOARDS_AT_ONCE = KT62_SANITIZED ? 8 : 32;
const QString ON_VERSION = "KT62_V01.02.03.04"; // the answer of a board on the image's version
const QString SLOW = "--pace 38400";            // some seconds of transfer: time to act
} // namespace

class TestStation : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Settings and the data folder of the test's own, for this process and kt62-station.
        QLoggingCategory::setFilterRules("*.debug=false"); // the engine's protocol trace
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        qputenv("XDG_DATA_HOME", m_dir.filePath("data").toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("config"));
        QVERIFY(write_file(m_dir.filePath("KT62_01.02.03.04.bin"), plain_image()));
        QVERIFY(encrypt_firmware_file(m_dir.filePath("KT62_01.02.03.04.bin"), m_good).status ==
                EncryptStatus::Ok);
        set_choice_responder(
            [this](const ChoicePrompt &prompt) { return m_asked << prompt.text, m_choice; });
        set_file_responder([this](const FilePrompt &) { return m_save_as; });
        set_message_responder([this](const MessagePrompt &prompt) {
            return m_boxes << prompt.text, QMessageBox::Ok;
        });
    }

    void cleanup()
    {
        if (m_window && m_window->controller().serving()) {
            m_window->controller().stopNow();
            QTRY_VERIFY_WITH_TIMEOUT(!m_window->controller().serving(), LIMIT_MS);
        }
        m_window.reset();
        m_asked.clear(), m_boxes.clear();
    }

    // Boards come and go, many at once on tiles that fit the window; a verdict stays until its
    // board is unplugged. The totals, the rows and the history tab agree (with kt62-flash's board:
    // newest first, filtered, exported as CSV but not over a folder).
    void serves()
    {
        Sim good({}), failing({"--fail-result"}), same({"--info", ON_VERSION}), other({"--once"});
        QVERIFY(good.ready() && failing.ready() && same.ready() && other.ready());
        QStringList ports{good.link, failing.link, same.link};
        std::vector<std::unique_ptr<Sim>> more; // all good
        while (ports.size() < BOARDS_AT_ONCE) {
            more.push_back(std::make_unique<Sim>(QStringList{}));
            QVERIFY(more.back()->ready());
            ports << more.back()->link;
        }
        start(ports);
        m_window->resize(1920, 1080);
        QVERIFY(reaches(1, Verdict::Failed) && reaches(2, Verdict::Skipped));
        for (int i = 0; i < BOARDS_AT_ONCE; ++i) {
            QVERIFY2(i == 1 || i == 2 || reaches(i, Verdict::Done), qPrintable(QString::number(i)));
        }
        QCOMPARE(shown(1, "lbl_verdict"), QString("✖ Failed"));
        QCOMPARE(shown(2, "lbl_verdict"), QString("= Skipped"));
        QVERIFY(shown(1, "lbl_reason").startsWith("device failure"));
        const int done = BOARDS_AT_ONCE - 2;
        QCOMPARE(tally(), QList<int>({BOARDS_AT_ONCE, done, 1, 1}));
        QTRY_COMPARE_WITH_TIMEOUT(results(),
                                  QStringList({"device failure", "skipped"}) +
                                      QVector<QString>(done, "success").toList(),
                                  LIMIT_MS);
        const auto *grid = m_window->findChild<TileGrid *>("grid_tiles");
        QTRY_VERIFY(grid->height() <= grid->parentWidget()->height()); // no scrolling
        for (int i = 0; i < BOARDS_AT_ONCE; ++i) {
            const QRect place = grid->tile(i)->geometry();
            QVERIFY(grid->rect().contains(place));
            QVERIFY(i == 0 || !place.intersects(grid->tile(i - 1)->geometry()));
        }

        QCOMPARE(Run({"--port", other.link, "--history", m_db, m_good}).code, 0);
        HistoryView &view = m_window->history();
        m_window->findChild<QTabWidget *>("tabs")->setCurrentIndex(1);
        QVERIFY(QTest::qWaitFor([&] { return view.table().rowCount() == BOARDS_AT_ONCE + 1; },
                                LIMIT_MS));
        QCOMPARE(view.table().rows().first().port, other.link); // newest first
        const auto filtered = [&](const char *combo, const QString &text) {
            QSignalSpy shown(&view, &HistoryView::rowsShown);
            auto *box = view.findChild<QComboBox *>(combo);
            box->setCurrentIndex(box->findText(text));
            return shown.wait(LIMIT_MS) ? shown.last().at(0).toInt() : -1;
        };
        QCOMPARE(filtered("cb_result", "success"), done + 1);
        QCOMPARE(filtered("cb_port", good.link), 1);
        QCOMPARE(filtered("cb_result", "All results"), 1);
        view.findChild<QDateEdit *>("date_from")->setDate(QDate::currentDate().addDays(1));
        view.findChild<QCheckBox *>("cb_from")->setChecked(true);
        QVERIFY(QTest::qWaitFor([&] { return view.table().rowCount() == 0; }, LIMIT_MS));
        view.findChild<QCheckBox *>("cb_from")->setChecked(false); // the port's filter stays
        QVERIFY(QTest::qWaitFor([&] { return view.table().rowCount() == 1; }, LIMIT_MS));
        QCOMPARE(filtered("cb_port", "All ports"), BOARDS_AT_ONCE + 1);

        m_save_as = m_dir.filePath("export.csv");
        auto *exportButton = view.findChild<QPushButton *>("btn_export");
        exportButton->click();
        const QList<QByteArray> lines = read_file(m_save_as).split('\n');
        QCOMPARE(lines.size(), 1 + BOARDS_AT_ONCE + 1 + 1); // the header, rows, after the end
        QVERIFY(lines.at(1).contains(other.link.toUtf8()));
        m_save_as = m_dir.path(); // a folder
        exportButton->click();
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(m_boxes.first().contains("not a regular file (a folder)"));
        good.process.kill(); // unplugged: the tile waits for the next board
        QVERIFY(good.process.waitForFinished());
        QTRY_COMPARE_WITH_TIMEOUT(int(tile(0).activity), int(Activity::Waiting), LIMIT_MS);
        QCOMPARE(tile(0).verdict, Verdict::None);
        QVERIFY(!widget<QLabel>(0, "lbl_verdict")->isVisible());
        Sim next({}, good.link); // stays plugged in: its verdict stays
        QVERIFY(reaches(0, Verdict::Done));
        QCOMPARE(tile(0).boards, 2);
        QCOMPARE(tile(1).boards, 1); // a board left in its fixture is never served again
        QCOMPARE(tally(), QList<int>({BOARDS_AT_ONCE + 1, done + 1, 1, 1}));
        QTRY_COMPARE_WITH_TIMEOUT(results().size(), BOARDS_AT_ONCE + 2, LIMIT_MS);
    }

    void stop_data()
    {
        QTest::addColumn<bool>("closing");
        QTest::addColumn<int>("choice"); // stop them now, let them finish, cancel
        QTest::addColumn<QString>("result");
        QTest::newRow("stop now") << false << 0 << QString("interrupted");
        QTest::newRow("let it finish") << false << 1 << QString("success");
        QTest::newRow("cancel") << false << 2 << QString();
        QTest::newRow("closing, stop now") << true << 0 << QString("interrupted");
        QTest::newRow("closing, let it finish") << true << 1 << QString("success");
    }
    void stop()
    {
        QFETCH(bool, closing);
        QFETCH(int, choice);
        QFETCH(QString, result);
        Sim board(SLOW.split(' '));
        QVERIFY(board.ready());
        start({board.link, m_dir.filePath("absent-port")}); // and a port with no board yet
        QVERIFY(QTest::qWaitFor([&] { return tile(0).activity == Activity::Sending; }, LIMIT_MS));
        m_choice = choice;
        closing ? void(m_window->close()) : button("btn_stop")->click();
        QCOMPARE(m_asked.size(), 1);
        if (result.isEmpty()) { // cancelled: the station goes on serving, in Chinese and back
            QVERIFY(m_window->controller().busy() && m_window->isVisible());
            m_window->findChild<QAction *>("actionChinese")->trigger();
            QTRY_COMPARE(m_window->windowTitle(), QString("KT62生产工位 V" KT62_VERSION));
            QCOMPARE(button("btn_stop")->text(), QString("停止(&P)"));
            QCOMPARE(shown(1, "lbl_state"), QString("等待接入电路板"));
            // Qt's own texts come from its catalogue in the station's resources.
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("取消"));
            QVERIFY(reaches(0, Verdict::Done));
            QCOMPARE(shown(0, "lbl_verdict"), QString("✔ 完成"));
            m_window->findChild<QAction *>("actionEnglish")->trigger();
            QTRY_COMPARE(shown(0, "lbl_verdict"), QString("✔ Done"));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->controller().serving(), LIMIT_MS);
        QCOMPARE(results(), QStringList{result});
        QCOMPARE(job_result_name(tile(0).result), result);
        QCOMPARE(tile(1).activity, Activity::Stopped);
        QCOMPARE(m_window->isVisible(), !closing); // closed once the run has ended
        QCOMPARE(read_file(board.saved()) == plain_image(), result == "success");
    }

    // A port that is there but does not open says why on its tile and is served once it opens.
    void portProblem_data()
    {
        QTest::addColumn<bool>("refused"); // the node refuses this user, and its group may use it
        QTest::addColumn<QString>("reason");
        QTest::newRow("in use") << false << "in use by another program";
        QTest::newRow("group to join") << true
                                       << QString("permission denied; join the group dialout (sudo "
                                                  "usermod -aG dialout $USER), then log in again");
    }
    void portProblem()
    {
        QFETCH(bool, refused);
        Sim board({});
        QVERIFY(board.ready());
        GPI holder; // another program has the port
        holder.openSerialPort(board.link);
        QVERIFY(holder.isOpen());
        if (refused) {
            set_port_node_facts_source([](const QString &) {
                return std::optional<PortNodeFacts>({true, false, "dialout", true});
            });
        }
        start({board.link});
        QVERIFY(QTest::qWaitFor([&] { return tile(0).activity == Activity::Problem; }, LIMIT_MS));
        QTEST(shown(0, "lbl_reason"), "reason");
        QVERIFY(shown(0, "lbl_verdict").startsWith("⚠"));
        set_port_node_facts_source({});
        holder.closeSerialPort(); // tried again: served
        QVERIFY(reaches(0, Verdict::Done));
        QCOMPARE(tally(), QList<int>({1, 1, 0, 0}));
    }

    void commandLineOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("setUp"); // ports, firmware, retries, skip, start
        QTest::addColumn<QString>("said");      // on standard error, with exit code 2
        const auto row = [](const char *tag, const QStringList &arguments,
                            const QStringList &set_up, const QString &said) {
            QTest::newRow(tag) << arguments << set_up << said;
        };
        row("none: as kept", {}, {"kept", "/kept.bin", "2", "0", "0"}, "");
        row("ports replace the kept ones",
            {"--port", "a", "--port", "usb:0403:6001", "--port", "a"},
            {"a,usb:0403:6001", "/kept.bin", "2", "0", "0"}, "");
        row("a relative firmware", {"--skip-same", "--start", "fw/KT62_V01.bin"},
            {"kept", QDir::current().absoluteFilePath("fw/KT62_V01.bin"), "2", "1", "1"}, "");
        row("retries", {"--retries", "100"}, {"kept", "/kept.bin", "100", "0", "0"}, "");
        row("too many retries", {"--retries", "101"}, {},
            "--retries takes a whole number from 0 to 100.");
        row("a malformed history", {"--history", "postgresql://h:54x2/db"}, {},
            "--history: the port \"54x2\" of the history URL is not a number from 1 to 65535");
        row("two firmware files", {"a.bin", "b.bin"}, {}, "one firmware file at most");
    }
    void commandLineOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        const StationOptions kept{"/kept.bin", {"kept"}, {}, 2, false, 10, 70, {}, {}, false};
        const CommandLine line = parse_command_line(QStringList{"kt62-station"} + arguments, kept);
        QCOMPARE(line.quit, !said.isEmpty());
        QCOMPARE(line.exit_code, said.isEmpty() ? 0 : 2);
        if (line.quit) {
            QCOMPARE(line.output, "kt62-station: " + said + "\n");
            return;
        }
        const StationOptions &o = line.options;
        QTEST((QStringList{o.ports.join(','), o.firmware, QString::number(o.retries),
                           QString::number(o.skip_same), QString::number(o.start)}),
              "setUp");
    }

    // The chosen firmware's facts are shown; a file an upgrade would not send says why and does
    // not start. The set-up is kept once the window closes.
    void firmware_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("shown"); // the start of the verdict on it
        QTest::newRow("encrypted")
            << QString("KT62_V01.02.03.04.bin") << QString("✔ Ready to send");
        QTest::newRow("plain") << QString("KT62_01.02.03.04.bin") << QString("✖ ");
    }
    void firmware()
    {
        QFETCH(QString, file);
        QFETCH(QString, shown);
        const QStringList ports{m_dir.filePath("fixture1"), "usb:0403:6001:A5"};
        const QString db = m_dir.filePath("kept.db");
        m_window = std::make_unique<StationWindow>(
            StationOptions{m_dir.filePath(file), ports, ports, 3, true, 7, 70, db, {}, false});
        const QString verdict = m_window->findChild<QLabel *>("lbl_firmware_refusal")->text();
        QVERIFY2(verdict.startsWith(shown), qPrintable(verdict));
        const bool ready = !shown.startsWith("✖");
        QCOMPARE(m_window->findChild<QLabel *>("lbl_version")->text() == "01.02.03.04", ready);
        button("btn_start")->click();
        QCOMPARE(m_window->controller().serving(), ready);
        if (!ready) { // not serving: it closes at once
            m_window->findChild<QAction *>("actionChinese")->trigger();
            m_window->close();
            const StationOptions kept = load_options();
            QCOMPARE(QStringList({kept.firmware, kept.history, kept.language}) + kept.ports +
                         kept.entries,
                     QStringList({m_dir.filePath(file), db, "zh_CN"}) + ports + ports);
            QCOMPARE(
                QList<int>({kept.retries, kept.skip_same, kept.timeout_s, kept.erase_timeout_s}),
                QList<int>({3, 1, 7, 70}));
        }
    }

    // kt62-station from a line's start-up script, stopped by SIGTERM with a board in progress.
    void commandLine()
    {
        const QString station = qEnvironmentVariable("KT62_BUILD_DIR") + "/station/kt62-station";
        QCOMPARE(Run({"--retries", "x"}, QString(), station).code, 2); // refused before any window
        Sim board(SLOW.split(' '));
        QVERIFY(board.ready());
        m_db = m_dir.filePath("command-line.db");
        Tool run({"--port", board.link, "--history", m_db, "--start", m_good}, QString(), station);
        QVERIFY(QTest::qWaitFor([&] { return results() == QStringList{"started"}; }, LIMIT_MS));
        QVERIFY(board.hears("erase"));
        QCOMPARE(::kill(run.process.processId(), SIGTERM), 0);
        QCOMPARE(run.code(), 128 + SIGTERM);
        QCOMPARE(results(), QStringList{"interrupted"});
    }

private:
    void start(const QStringList &ports)
    {
        m_db = m_dir.filePath(QString("history%1.db").arg(++m_runs));
        const int erase_s = StationOptions::DEFAULT_ERASE_TIMEOUT_S;
        m_window = std::make_unique<StationWindow>(
            StationOptions{m_good, ports, {}, 0, true, 10, erase_s, m_db, {}, false});
        m_window->show();
        button("btn_start")->click();
        QVERIFY(m_window->controller().serving());
    }
    const PortTileModel &tile(int port) const { return m_window->controller().tiles().at(port); }
    bool reaches(int port, Verdict verdict) const
    {
        return QTest::qWaitFor([&] { return tile(port).verdict == verdict; }, LIMIT_MS);
    }
    QList<int> tally() const
    {
        const RunTally tally = m_window->controller().totals().tally;
        return {tally.served, tally.succeeded, tally.failed, tally.skipped};
    }
    // The results of the history's rows, sorted (boards that start together begin in any order).
    QStringList results() const
    {
        HistoryTarget target; // a file
        target.path = m_db;
        QString error;
        QStringList rows;
        read_history(
            target, HistoryFilter(),
            [&](const BoardRecord &row) { return rows << row.result, true; }, &error);
        rows.sort();
        return rows;
    }
    template <typename T> T *widget(int port, const char *name) const
    {
        return m_window->findChild<TileGrid *>("grid_tiles")->tile(port)->findChild<T *>(name);
    }
    QString shown(int port, const char *name) const { return widget<QLabel>(port, name)->text(); }
    QPushButton *button(const char *name) const { return m_window->findChild<QPushButton *>(name); }

    QTemporaryDir m_dir;
    QString m_good = m_dir.filePath("KT62_V01.02.03.04.bin");
    QString m_db;
    int m_runs = 0;
    std::unique_ptr<StationWindow> m_window;
    int m_choice = -1;
    QStringList m_asked, m_boxes;
    QString m_save_as;
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
