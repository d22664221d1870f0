#include "../dialogs/dialogdriver.h"
#include "dialogencrypt.h"
#include "dialogupgrade.h"
#include "fakedevice.h"
#include "mainwindow.h"
#include "port_list.h"
#include "ui_dialogupgrade.h"
#include "ui_mainwindow.h"
#include <QRegularExpression>
#include <QTemporaryDir>

// Counts the notices that installing or removing a translator sends.
struct LanguageChanges : QObject
{
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        count += watched == qApp && event->type() == QEvent::LanguageChange;
        return false;
    }
    int count = 0;
};

class TestLanguage : public QObject
{
    Q_OBJECT
private slots:
    // The same tour in English, in Chinese and in English again, and the menu at
    // each click (English twice at the start, then Chinese and English in turn).
    void switching()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("KT62_V01.02.03.04.bin"), QByteArray(100, 'x')));
        FakeDevice device;
        PromptRecorder prompts;
        setPortNameSource([port = device.slavePath()] { return QStringList{port}; });
        MainWindow window;
        Ui::MainWindow *ui = window.ui;
        DialogUpgrade *dialog = window.m_dialog_upgrade;
        Ui::DialogUpgrade *dui = dialog->ui;
        LanguageChanges changes;
        qApp->installEventFilter(&changes);
        // All the windows' texts at each step, the status lines and the boxes.
        const auto tour = [&] {
            QStringList seen;
            const auto look = [&] {
                for (QWidget *top :
                     std::initializer_list<QWidget *>{&window, dialog, window.m_dialog_encrypt}) {
                    seen << top->windowTitle();
                    for (QWidget *w : top->findChildren<QWidget *>()) {
                        seen << w->property("text").toString() << w->property("title").toString();
                    }
                }
            };
            const auto choose = [&](const QString &name) {
                prompts.answers = QStringList{dir.filePath(name)};
                dui->btn_choose_firmware->click();
            };
            const auto run = [&](QPushButton *button) {
                button->click();
                look();
                choose("KT62_V01.02.03.04.bin"); // refused while it runs
                seen << waitForRun(dialog->m_upgrader, dui->lbl_upgrade_info);
            };
            prompts.boxes.clear();
            dialog->show();
            ui->btn_open_serial->click();
            look();
            dui->btn_begin_upgrade->click();
            choose("fw.bin");
            choose("KT62_V09.09.09.09.bin");
            ui->btn_open_serial->click();
            dui->btn_begin_upgrade->click();
            run(dui->btn_begin_checkversion); // first: the labels show no earlier tour's run
            choose("KT62_V01.02.03.04.bin");
            run(dui->btn_begin_upgrade);
            device.script.result = 0x01;
            run(dui->btn_begin_upgrade);
            device.script.result = 0x00;
            look();
            dialog->hide();
            seen.removeAll(QString());
            return seen + prompts.boxes;
        };
        const auto state = [&] {
            QString text;
            for (QAction *a : {ui->actionEnglish, ui->actionChinese}) {
                text += QString::number(a->isChecked()) + QString::number(a->isEnabled()) + ' ';
            }
            return text + QString::number(changes.count) + ' ' + window.windowTitle() + '|' +
                   ui->btn_open_serial->text();
        };
        ui->btn_open_serial->click(); // open all the while
        QStringList states{state()};
        const auto click = [&](QAction *action) {
            action->trigger();
            states << state();
        };
        click(ui->actionEnglish);
        click(ui->actionEnglish);
        const QStringList inEnglish = tour();
        click(ui->actionChinese);
        const QStringList inChinese = tour();
        click(ui->actionEnglish);
        QCOMPARE(tour(), inEnglish);
        click(ui->actionChinese);
        // English and Chinese checked and enabled, translators installed or removed.
        QCOMPARE('\n' + states.join('\n'), QStringLiteral(R"(
11 01 0 KT62 Update Tool V2.06|Close
01 01 0 KT62 Update Tool V2.06|Close
10 01 0 KT62 Update Tool V2.06|Close
01 10 1 KT62升级工具 V2.06|关闭
10 01 2 KT62 Update Tool V2.06|Close
01 10 3 KT62升级工具 V2.06|关闭)"));
        // Each English text as the catalogue translates it: the longest source
        // it starts with (up to any %1) is replaced, a value behind it kept.
        QFile file(qEnvironmentVariable("KT62_SOURCE_DIR") + "/resources/translation_ch.ts");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QRegularExpression message("<source>(.*)</source>\\s*<translation>(.*)</");
        QMap<QString, QString> catalogue;
        for (auto it = message.globalMatch(QString::fromUtf8(file.readAll())); it.hasNext();) {
            const auto match = it.next();
            catalogue[match.captured(1)] = match.captured(2);
        }
        const auto head = [](const QString &text) { return text.section("%1", 0, 0); };
        QStringList expected, unreached = catalogue.keys();
        for (const QString &text : inEnglish) {
            QString source;
            for (const QString &key : catalogue.keys()) {
                if (text.startsWith(head(key)) && head(key).size() > head(source).size()) {
                    source = key;
                }
            }
            unreached.removeAll(source);
            expected << (source.isEmpty()
                             ? text
                             : head(catalogue[source]) + text.mid(head(source).size()));
        }
        QCOMPARE(unreached, QStringList());
        QCOMPARE(inChinese, expected);
    }
};

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
