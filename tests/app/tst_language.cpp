#include "../dialogs/promptrecorder.h"
#include "dialogencrypt.h"
#include "dialogupgrade.h"
#include "fakedevice.h"
#include "gpi.h"
#include "mainwindow.h"
#include "port_list.h"
#include "ui_dialogupgrade.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <functional>
#include <memory>

namespace {
constexpr int RUN_TIMEOUT_MS = 20000;

// context|source -> translation, as the translators keep the catalogue.
// Entries with no translation are left out of the compiled catalogue.
QMap<QString, QString> readCatalogue()
{
    // KT62_SOURCE_DIR is set by the test runner.
    QFile file(qEnvironmentVariable("KT62_SOURCE_DIR") + "/resources/translation_ch.ts");
    QMap<QString, QString> catalogue;
    if (!file.open(QIODevice::ReadOnly)) {
        return catalogue;
    }
    QXmlStreamReader xml(&file);
    QString context, source;
    while (xml.readNext() != QXmlStreamReader::EndDocument && !xml.hasError()) {
        if (xml.isStartElement() && xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("translation")) {
            const bool finished = xml.attributes().value(QLatin1String("type")).isEmpty();
            const QString translation = xml.readElementText();
            if (!translation.isEmpty()) {
                catalogue[context + '|' + source] = finished ? translation : "<unfinished>";
            }
        }
    }
    return catalogue;
}

// Counts the notices that installing or removing a translator sends.
class LanguageChanges : public QObject
{
public:
    LanguageChanges() { qApp->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        count += watched == qApp && event->type() == QEvent::LanguageChange;
        return false;
    }
};
} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void actionStates_data();
    void actionStates();
    void everyCatalogueTextShown_data();
    void everyCatalogueTextShown();
    void textsWithoutEntryStay();
    void openButtonKeepsPortState();
    void oneTranslatorWhileChinese();

private:
    Ui::MainWindow *ui() const { return m_window->ui; }
    DialogUpgrade *dialog() const { return m_window->m_dialog_upgrade; }
    Ui::DialogUpgrade *dui() const { return dialog()->ui; }
    void chinese() { ui()->actionChinese->trigger(); }
    void english() { ui()->actionEnglish->trigger(); }
    // Goes to every place a catalogue text shows, in the active language;
    // returns context|source -> the text seen there.
    QMap<QString, QString> showEverything();
    // Clicks button, calls afterClick, and returns the engine's status
    // texts as shown until the run ends.
    QStringList engineRun(QPushButton *button, const std::function<void()> &afterClick = {});
    void choose(const QString &name)
    {
        m_prompts->answers = QStringList{m_dir.filePath(name)};
        dui()->btn_choose_firmware->click();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeDevice> m_device;
    std::unique_ptr<PromptRecorder> m_prompts;
    std::unique_ptr<MainWindow> m_window;
};

void TestLanguage::init()
{
    QFile firmware(m_dir.filePath("KT62_V01.02.03.04.bin"));
    QVERIFY(firmware.open(QIODevice::WriteOnly) && firmware.write(QByteArray(100, 'x')) == 100);
    m_device = std::make_unique<FakeDevice>();
    const QString port = m_device->slavePath();
    setPortNameSource([port] { return QStringList{port, QStringLiteral("ttyX")}; });
    m_prompts = std::make_unique<PromptRecorder>();
    m_window = std::make_unique<MainWindow>();
}

void TestLanguage::cleanup()
{
    g_gpi.closeSerialPort();
    english(); // no translator left behind for the next test
    m_window.reset();
    m_prompts.reset();
    m_device.reset();
    setPortNameSource(nullptr);
}

void TestLanguage::actionStates_data()
{
    QTest::addColumn<QString>("clicks");
    QTest::addColumn<QString>("flags"); // English checked, enabled; Chinese checked, enabled
    QTest::addColumn<QString>("title");
    const QString english = QStringLiteral("KT62 Update Tool V2.06");
    const QString chinese = QStringLiteral("KT62升级工具 V2.06");
    QTest::newRow("start") << ""
                           << "1101" << english;
    QTest::newRow("Chinese") << "C"
                             << "0110" << chinese;
    QTest::newRow("Chinese, English") << "CE"
                                      << "1001" << english;
    QTest::newRow("English at start: neither") << "E"
                                               << "0101" << english;
    QTest::newRow("neither, English") << "EE"
                                      << "1001" << english;
    QTest::newRow("neither, Chinese") << "EC"
                                      << "0110" << chinese;
    QTest::newRow("back and forth") << "CECEC"
                                    << "0110" << chinese;
}

void TestLanguage::actionStates()
{
    QFETCH(QString, clicks);
    QFETCH(QString, flags);
    QFETCH(QString, title);
    for (const QChar c : clicks) {
        QAction *action = c == QLatin1Char('C') ? ui()->actionChinese : ui()->actionEnglish;
        QVERIFY(action->isEnabled()); // a disabled action cannot be clicked
        action->trigger();
    }
    QString got;
    for (QAction *a : {ui()->actionEnglish, ui()->actionChinese}) {
        got += QString::number(a->isChecked()) + QString::number(a->isEnabled());
    }
    QCOMPARE(got, flags);
    QCOMPARE(m_window->windowTitle(), title);
}

QStringList TestLanguage::engineRun(QPushButton *button, const std::function<void()> &afterClick)
{
    QStringList infos;
    Upgrader &engine = dialog()->m_upgrader;
    const auto connection = connect(&engine, &Upgrader::upgrade_info, this,
                                    [&] { infos << dui()->lbl_upgrade_info->text(); });
    QSignalSpy upgraded(&engine, &Upgrader::upgrade_finished);
    QSignalSpy checked(&engine, &Upgrader::checkVersion_finished);
    button->click();
    if (afterClick) {
        afterClick();
    }
    QTest::qWaitFor([&] { return !upgraded.isEmpty() || !checked.isEmpty(); }, RUN_TIMEOUT_MS);
    disconnect(connection);
    return infos;
}

QMap<QString, QString> TestLanguage::showEverything()
{
    QMap<QString, QString> seen;
    const auto see = [&](const char *context, const char *source, const QString &text) {
        seen[QString::fromLatin1(context) + '|' + QString::fromLatin1(source)] = text;
    };
    const auto lastMessage = [this] {
        return m_prompts->texts().value(m_prompts->texts().size() - 1);
    };
    const Upgrader &engine = dialog()->m_upgrader;
    const auto prefix = [](QLabel *label, const QString &value) {
        return label->text().endsWith(value) ? label->text().chopped(value.size()) : QString();
    };

    const QString title = m_window->windowTitle();
    see("MainWindow", "KT62 Update Tool", title.endsWith(" V2.06") ? title.chopped(6) : title);
    see("MainWindow", "SerialPort", ui()->gb_serial->title());
    see("MainWindow", "Upgrade", ui()->btn_upgrade->text());
    see("MainWindow", "Open", ui()->btn_open_serial->text());

    dialog()->show();
    see("DialogUpgrade", "Firmware Upgrade", dialog()->windowTitle());
    see("DialogUpgrade", "Choose Firmware", dui()->btn_choose_firmware->text());
    see("DialogUpgrade", "Upgrade", dui()->btn_begin_upgrade->text());
    see("DialogUpgrade", "CheckVersion", dui()->btn_begin_checkversion->text());
    see("DialogUpgrade", "Upgrade Status:", dui()->label->text());
    see("DialogUpgrade", "Device Model: Unknown", dui()->lbl_deivce_model->text());
    see("DialogUpgrade", "Current Version: Unknown", dui()->lbl_device_firmware->text());
    see("DialogUpgrade", "Upgrade Version: Unknown", dui()->lbl_target_firmware->text());

    dui()->btn_begin_upgrade->click();
    see("DialogUpgrade", "Serial Port is not opened!", lastMessage());
    choose("fw.bin");
    see("DialogUpgrade", "Firmware name is not right!", lastMessage());
    choose("KT62_V09.09.09.09.bin");
    see("DialogUpgrade", "Firmware file cannot be read!", lastMessage());
    ui()->btn_open_serial->click();
    see("MainWindow", "Close", ui()->btn_open_serial->text());
    dui()->btn_begin_upgrade->click();
    see("DialogUpgrade", "Please choose firmware!", lastMessage());

    choose("KT62_V01.02.03.04.bin");
    see("DialogUpgrade", "Device Model:", prefix(dui()->lbl_deivce_model, engine.m_device_model));
    see("DialogUpgrade",
        "Upgrade Version:", prefix(dui()->lbl_target_firmware, engine.m_target_version));
    const QStringList checkInfos = engineRun(dui()->btn_begin_checkversion, [&] {
        see("DialogUpgrade", "Checking device information", dui()->lbl_upgrade_info->text());
        see("DialogUpgrade", "Cancel", dui()->btn_begin_checkversion->text());
    });
    see("DialogUpgrade",
        "Current Version:", prefix(dui()->lbl_device_firmware, engine.m_current_version));
    see("Upgrader", "Checking Version...", checkInfos.value(0));
    see("Upgrader", "CheckVersion Finish!", checkInfos.value(1));

    const auto progress = connect(&engine, &Upgrader::upgrade_progress, this, [&](int percent) {
        see("DialogUpgrade", "Upgrading %1%",
            dui()->lbl_upgrade_info->text().replace(QString::number(percent), "%1"));
    });
    const QStringList infos = engineRun(dui()->btn_begin_upgrade, [&] {
        choose("KT62_V01.02.03.04.bin");
        see("DialogUpgrade", "Please stop the running operation first!", lastMessage());
    });
    disconnect(progress);
    see("Upgrader", "Erasing Chip...", infos.value(0));
    see("Upgrader", "Erase finished, begin upgrade...", infos.value(1));
    see("Upgrader", "Waitting for completion...", infos.value(2));
    see("Upgrader", "Upgrade finished!", infos.value(3));
    m_device->script.result = 0x01;
    see("Upgrader", "Upgrade faild!", engineRun(dui()->btn_begin_upgrade).value(3));

    dialog()->hide();
    ui()->btn_open_serial->click();
    return seen;
}

void TestLanguage::everyCatalogueTextShown_data()
{
    QTest::addColumn<bool>("toChinese");
    QTest::newRow("Chinese") << true;
    QTest::newRow("English again") << false;
}

void TestLanguage::everyCatalogueTextShown()
{
    QFETCH(bool, toChinese);
    const QMap<QString, QString> catalogue = readCatalogue();
    QVERIFY(!catalogue.isEmpty());
    chinese();
    if (!toChinese) {
        english();
    }
    const QMap<QString, QString> seen = showEverything();
    // Both ways: every catalogue text shows, and everything shown is in it.
    QCOMPARE(seen.keys(), catalogue.keys());
    for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it) {
        const QString source = it.key().section('|', 1);
        QCOMPARE(it.key() + ": " + seen.value(it.key()),
                 it.key() + ": " + (toChinese ? it.value() : source));
    }
}

void TestLanguage::textsWithoutEntryStay()
{
    const auto texts = [](QWidget *w) {
        QStringList out{w->windowTitle()};
        for (QWidget *child : w->findChildren<QWidget *>()) {
            out << child->property("text").toString();
        }
        return out;
    };
    const QStringList encryptBefore = texts(m_window->m_dialog_encrypt);
    chinese();
    QCOMPARE(texts(m_window->m_dialog_encrypt), encryptBefore);
    QCOMPARE(ui()->menuLanguage->title() + ui()->actionEnglish->text() +
                 ui()->actionChinese->text(),
             QStringLiteral("Language（语言）English简体中文"));
    // The hidden dialog got its form texts again, placeholder included.
    QCOMPARE(dui()->lbl_upgrade_info->text(), QStringLiteral("str_upgrade_info"));
    // The port box lists the ports present, not the form's COM1 to COM20.
    QStringList ports{m_device->slavePath(), QStringLiteral("ttyX")};
    ports.sort();
    QCOMPARE(ui()->cb_port_idx->count(), 2);
    QCOMPARE(ui()->cb_port_idx->itemText(0) + ui()->cb_port_idx->itemText(1), ports.join(""));
}

void TestLanguage::openButtonKeepsPortState()
{
    ui()->btn_open_serial->click();
    QVERIFY(g_gpi.isOpen());
    chinese();
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("关闭"));
    english();
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Close"));
}

void TestLanguage::oneTranslatorWhileChinese()
{
    LanguageChanges changes;
    for (int round = 0; round < 3; ++round) {
        chinese();
        QCOMPARE(changes.count, 2 * round + 1); // installed once, never stacked
        QCOMPARE(QCoreApplication::translate("MainWindow", "Open"), QStringLiteral("打开"));
        english();
        QCOMPARE(changes.count, 2 * round + 2);
        QCOMPARE(QCoreApplication::translate("MainWindow", "Open"), QStringLiteral("Open"));
        QVERIFY(!QCoreApplication::removeTranslator(m_window->m_translator)); // none left
    }
}

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
