// The engine on a real serial channel over a pseudo terminal, against the
// scripted device: the bytes on the wire and the status texts of a whole run.
#include "fakedevice.h"
#include "upgrader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void upgrade();

private:
    struct Link
    {
        FakeDevice device;
        GPI channel;
        int naks = 0;
        QString firmware;
        Upgrader engine{&channel, &naks, &firmware};
        QStringList infos;
    };
    void open(Link &link);
};

void TestEndToEnd::open(Link &link)
{
    QVERIFY(link.device.isValid());
    link.channel.openSerialPort(link.device.slavePath());
    QVERIFY(link.channel.isOpen());
    connect(&link.engine, &Upgrader::upgrade_info, this,
            [&link](const QString &text) { link.infos << text; });
}

void TestEndToEnd::upgrade()
{
    Link link;
    open(link);
    QTemporaryDir dir;
    link.firmware = dir.filePath("KT62_V01.02.03.04.bin");
    const QByteArray abcd = QByteArray::fromHex("8a01000061626364");
    QFile file(link.firmware);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(abcd) == 8);
    file.close();
    QVERIFY(link.engine.load_firmware());

    QSignalSpy queried(&link.device, &FakeDevice::queryReceived);
    QSignalSpy progress(&link.engine, &Upgrader::upgrade_progress);
    QSignalSpy finished(&link.engine, &Upgrader::upgrade_finished);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(link.engine.start_upgrade());
    QVERIFY(queried.wait(5000));
    QVERIFY2(clock.elapsed() >= 900, "the first query waits one interval");
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);

    const QByteArray wire = QByteArray::fromHex("24000799000023"
                                                "240b0010") +
                            "01.02.03.04" +
                            QByteArray::fromHex("2404002008000000"
                                                "0201fe") +
                            abcd + QByteArray(1016, '\x1a') +
                            QByteArray::fromHex("45"
                                                "0400");
    QCOMPARE(link.device.seen().bytes.toHex(), wire.toHex());
    QCOMPARE(link.infos, (QStringList{"Erasing Chip...", "Erase finished, begin upgrade...",
                                      "Waitting for completion...", "Upgrade finished!"}));
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toInt(), 100);
    QCOMPARE(link.naks, 3);
    QVERIFY(!link.engine.m_running);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_end_to_end.moc"
