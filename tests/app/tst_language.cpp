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
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

#include <functional>
#include <memory>

namespace {
constexpr int RUN_TIMEOUT_MS = 20000;

struct Message
{
    QString context;
    QString source;
    QString translation;
    bool finished = true;
};

QString key(const QString &context, const QString &source)
{
    return context + QLatin1Char('|') + source;
}

// The catalogue as the translators maintain it, read from its source.
QList<Message> readCatalogue()
{
    // KT62_SOURCE_DIR is set by the test runner.
    QFile file(qEnvironmentVariable("KT62_SOURCE_DIR") + "/resources/translation_ch.ts");
    QList<Message> messages;
    if (!file.open(QIODevice::ReadOnly)) {
        return messages;
    }
    QXmlStreamReader xml(&file);
    QString context;
    Message current;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        const auto name = xml.name();
        if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("message")) {
            current = Message{context, QString(), QString(), true};
        } else if (name == QLatin1String("source")) {
            current.source = xml.readElementText();
        } else if (name == QLatin1String("translation")) {
            current.finished = xml.attributes().value(QLatin1String("type")).isEmpty();
            current.translation = xml.readElementText();
            // Entries the source scan adds with no translation are left out
            // of the compiled catalogue; those texts stay as they are.
            if (!current.translation.isEmpty()) {
                messages << current;
            }
        }
    }
    return messages;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Counts the language-change notices that installing or removing a
// translator sends to the application.
class LanguageChangeCounter : public QObject
{
public:
    LanguageChangeCounter() { qApp->installEventFilter(this); }
    ~LanguageChangeCounter() override { qApp->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == qApp && event->type() == QEvent::LanguageChange) {
            ++count;
        }
        return false;
    }
};
} // namespace

class TestLanguage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsInEnglish();
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
    // Walks through every place a catalogue text shows, in the language now
    // active, and returns what was seen there.
    QMap<QString, QString> showEverything();
    // Clicks button, calls afterClick, and returns the engine's status
    // texts as shown until the run ends.
    QStringList engineRun(QPushButton *button, const std::function<void()> &afterClick = {});
    void choose(const QString &path)
    {
        m_prompts->answers = QStringList{path};
        dui()->btn_choose_firmware->click();
    }

    QList<Message> m_catalogue;
    QTemporaryDir m_dir;
    std::unique_ptr<FakeDevice> m_device;
    std::unique_ptr<PromptRecorder> m_prompts;
    std::unique_ptr<MainWindow> m_window;
};

void TestLanguage::initTestCase()
{
    m_catalogue = readCatalogue();
    QVERIFY(!m_catalogue.isEmpty());
    QVERIFY(writeFile(m_dir.filePath("KT62_V01.02.03.04.bin"), QByteArray(100, 'x')));
}

void TestLanguage::init()
{
    m_device = std::make_unique<FakeDevice>();
    QVERIFY(m_device->isValid());
    const QString port = m_device->slavePath();
    setPortNameSource([port] { return QStringList{port, QStringLiteral("ttyX")}; });
    m_prompts = std::make_unique<PromptRecorder>();
    m_window = std::make_unique<MainWindow>();
}

void TestLanguage::cleanup()
{
    g_gpi.closeSerialPort();
    english(); // leaves no translator behind for the next test
    m_window.reset();
    m_prompts.reset();
    m_device.reset();
    setPortNameSource(nullptr);
}

void TestLanguage::startsInEnglish()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("KT62 Update Tool V2.06"));
    QVERIFY(ui()->actionEnglish->isChecked());
    QVERIFY(ui()->actionEnglish->isEnabled());
    QVERIFY(!ui()->actionChinese->isChecked());
    QVERIFY(ui()->actionChinese->isEnabled());
}

void TestLanguage::actionStates_data()
{
    QTest::addColumn<QString>("clicks");
    // Flags: English checked, English enabled, Chinese checked, Chinese enabled.
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QString>("title");
    QTest::newRow("Chinese") << "C"
                             << "0110"
                             << "KT62升级工具 V2.06";
    QTest::newRow("Chinese, English") << "CE"
                                      << "1001"
                                      << "KT62 Update Tool V2.06";
    QTest::newRow("English at start: neither") << "E"
                                               << "0101"
                                               << "KT62 Update Tool V2.06";
    QTest::newRow("neither, English") << "EE"
                                      << "1001"
                                      << "KT62 Update Tool V2.06";
    QTest::newRow("neither, Chinese") << "EC"
                                      << "0110"
                                      << "KT62升级工具 V2.06";
    QTest::newRow("back and forth") << "CECEC"
                                    << "0110"
                                    << "KT62升级工具 V2.06";
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
    const auto bit = [](bool b) { return b ? QLatin1Char('1') : QLatin1Char('0'); };
    const QString got =
        QString() + bit(ui()->actionEnglish->isChecked()) + bit(ui()->actionEnglish->isEnabled()) +
        bit(ui()->actionChinese->isChecked()) + bit(ui()->actionChinese->isEnabled());
    QCOMPARE(got, flags);
    QCOMPARE(m_window->windowTitle(), title);
}

QStringList TestLanguage::engineRun(QPushButton *button, const std::function<void()> &afterClick)
{
    QStringList infos;
    Upgrader &engine = dialog()->m_upgrader;
    auto connection = connect(&engine, &Upgrader::upgrade_info, this,
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
    const QString mw = QStringLiteral("MainWindow");
    const QString du = QStringLiteral("DialogUpgrade");
    const QString up = QStringLiteral("Upgrader");
    const auto lastMessage = [this] {
        return m_prompts->texts().value(m_prompts->texts().size() - 1);
    };

    const QString title = m_window->windowTitle();
    if (title.endsWith(QStringLiteral(" V2.06"))) {
        seen[key(mw, "KT62 Update Tool")] = title.chopped(6);
    }
    seen[key(mw, "SerialPort")] = ui()->gb_serial->title();
    seen[key(mw, "Upgrade")] = ui()->btn_upgrade->text();
    seen[key(mw, "Open")] = ui()->btn_open_serial->text();

    dialog()->show();
    seen[key(du, "Firmware Upgrade")] = dialog()->windowTitle();
    seen[key(du, "Choose Firmware")] = dui()->btn_choose_firmware->text();
    seen[key(du, "Upgrade")] = dui()->btn_begin_upgrade->text();
    seen[key(du, "CheckVersion")] = dui()->btn_begin_checkversion->text();
    seen[key(du, "Upgrade Status:")] = dui()->label->text();
    seen[key(du, "Device Model: Unknown")] = dui()->lbl_deivce_model->text();
    seen[key(du, "Current Version: Unknown")] = dui()->lbl_device_firmware->text();
    seen[key(du, "Upgrade Version: Unknown")] = dui()->lbl_target_firmware->text();

    dui()->btn_begin_upgrade->click();
    seen[key(du, "Serial Port is not opened!")] = lastMessage();
    choose(m_dir.filePath("fw.bin"));
    seen[key(du, "Firmware name is not right!")] = lastMessage();
    choose(m_dir.filePath("KT62_V09.09.09.09.bin"));
    seen[key(du, "Firmware file cannot be read!")] = lastMessage();

    ui()->btn_open_serial->click();
    seen[key(mw, "Close")] = ui()->btn_open_serial->text();
    dui()->btn_begin_upgrade->click();
    seen[key(du, "Please choose firmware!")] = lastMessage();

    choose(m_dir.filePath("KT62_V01.02.03.04.bin"));
    const Upgrader &engine = dialog()->m_upgrader;
    seen[key(du, "Device Model:")] =
        dui()->lbl_deivce_model->text().chopped(engine.m_device_model.size());
    seen[key(du, "Upgrade Version:")] =
        dui()->lbl_target_firmware->text().chopped(engine.m_target_version.size());

    const QStringList checkInfos = engineRun(dui()->btn_begin_checkversion, [&] {
        seen[key(du, "Checking device information")] = dui()->lbl_upgrade_info->text();
        seen[key(du, "Cancel")] = dui()->btn_begin_checkversion->text();
    });
    seen[key(du, "Current Version:")] =
        dui()->lbl_device_firmware->text().chopped(engine.m_current_version.size());
    if (checkInfos.size() == 2) {
        seen[key(up, "Checking Version...")] = checkInfos[0];
        seen[key(up, "CheckVersion Finish!")] = checkInfos[1];
    }

    QString progress;
    auto connection = connect(&engine, &Upgrader::upgrade_progress, this, [&](int percent) {
        progress = dui()->lbl_upgrade_info->text().replace(QString::number(percent), "%1");
    });
    const QStringList upgradeInfos = engineRun(dui()->btn_begin_upgrade, [&] {
        choose(m_dir.filePath("KT62_V01.02.03.04.bin"));
        seen[key(du, "Please stop the running operation first!")] = lastMessage();
    });
    disconnect(connection);
    seen[key(du, "Upgrading %1%")] = progress;
    if (upgradeInfos.size() == 4) {
        seen[key(up, "Erasing Chip...")] = upgradeInfos[0];
        seen[key(up, "Erase finished, begin upgrade...")] = upgradeInfos[1];
        seen[key(up, "Waitting for completion...")] = upgradeInfos[2];
        seen[key(up, "Upgrade finished!")] = upgradeInfos[3];
    }

    m_device->script.result = 0x01;
    const QStringList failedInfos = engineRun(dui()->btn_begin_upgrade);
    seen[key(up, "Upgrade faild!")] = failedInfos.value(failedInfos.size() - 1);

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
    chinese();
    if (!toChinese) {
        english();
    }
    const QMap<QString, QString> seen = showEverything();

    QStringList catalogued;
    for (const Message &m : std::as_const(m_catalogue)) {
        const QString k = key(m.context, m.source);
        catalogued << k;
        QVERIFY2(m.finished, qPrintable("translation not finished: " + k));
        QVERIFY2(seen.contains(k), qPrintable("never shown: " + k));
        QCOMPARE(seen.value(k), toChinese ? m.translation : m.source);
    }
    for (const QString &k : seen.keys()) {
        QVERIFY2(catalogued.contains(k), qPrintable("shown but not in the catalogue: " + k));
    }
}

void TestLanguage::textsWithoutEntryStay()
{
    DialogEncrypt *encrypt = m_window->m_dialog_encrypt;
    QStringList before;
    for (QWidget *w : encrypt->findChildren<QWidget *>()) {
        before << w->property("text").toString();
    }
    chinese();
    QCOMPARE(ui()->menuLanguage->title(), QStringLiteral("Language（语言）"));
    QCOMPARE(ui()->actionEnglish->text(), QStringLiteral("English"));
    QCOMPARE(ui()->actionChinese->text(), QStringLiteral("简体中文"));
    // The hidden dialog got its form texts again, placeholder included; the
    // next showing empties it.
    QCOMPARE(dui()->lbl_upgrade_info->text(), QStringLiteral("str_upgrade_info"));
    QCOMPARE(encrypt->windowTitle(), QStringLiteral("固件加密"));
    QStringList after;
    for (QWidget *w : encrypt->findChildren<QWidget *>()) {
        after << w->property("text").toString();
    }
    QCOMPARE(after, before);
    // The port box lists the ports present, not the form's placeholders.
    QStringList ports;
    for (int i = 0; i < ui()->cb_port_idx->count(); ++i) {
        ports << ui()->cb_port_idx->itemText(i);
    }
    QStringList present{m_device->slavePath(), QStringLiteral("ttyX")};
    present.sort();
    QCOMPARE(ports, present);
}

void TestLanguage::openButtonKeepsPortState()
{
    ui()->btn_open_serial->click();
    QVERIFY(g_gpi.isOpen());
    chinese();
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("关闭"));
    english();
    QCOMPARE(ui()->btn_open_serial->text(), QStringLiteral("Close"));
    QCOMPARE(ui()->cb_port_idx->currentText(), m_device->slavePath());
}

void TestLanguage::oneTranslatorWhileChinese()
{
    LanguageChangeCounter changes;
    for (int round = 0; round < 3; ++round) {
        changes.count = 0;
        chinese();
        QCOMPARE(changes.count, 1); // installed once, not stacked
        QCOMPARE(QCoreApplication::translate("MainWindow", "Open"), QStringLiteral("打开"));
        english();
        QCOMPARE(changes.count, 2);
        QCOMPARE(QCoreApplication::translate("MainWindow", "Open"), QStringLiteral("Open"));
        // Nothing of it is left installed.
        QVERIFY(!QCoreApplication::removeTranslator(m_window->m_translator));
    }
}

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
