// Loading a firmware file into the packet table, the identity taken from
// its name, and the refusals that keep an erase from going out for a size
// that is not the chosen image's.
#include "enginerig.h"

#include <QtTest>

namespace {
QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = char(i % 251);
    }
    return bytes;
}

QByteArray joined(const std::vector<QByteArray> &packets)
{
    QByteArray all;
    for (const QByteArray &packet : packets) {
        all += packet;
    }
    return all;
}

// Stands for a file that goes bad after good_bytes: the read fails, or it
// stalls delivering nothing while claiming more.
class FaultyFile : public QIODevice
{
public:
    FaultyFile(int good_bytes, bool stall) : m_good(good_bytes), m_stall(stall)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    qint64 size() const override { return 4 * 1024; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin(max, m_good - pos());
        if (n > 0) {
            memset(data, 'x', size_t(n));
            return n;
        }
        return m_stall ? 0 : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_good;
    bool m_stall;
};
} // namespace

// Neither a start nor a direct call may ask the device to erase.
void expectNoErase(EngineRig &rig)
{
    rig.takeSent();
    QVERIFY(!rig.engine.start_upgrade());
    QVERIFY(!rig.engine.m_running);
    rig.engine.up_begin_upgrade();
    QCOMPARE(rig.takeSent(), QString());
}

class TestLoadFirmware : public QObject
{
    Q_OBJECT
private slots:
    void slicing_data();
    void slicing();
    void identity_data();
    void identity();
    void secondLoadReplacesFirst();
    void emptyPath();
    void tooLarge_data();
    void tooLarge();
    void readError_data();
    void readError();
    void staleTableRefused_data();
    void staleTableRefused();
    void loadFailsWhileQuerying();
};

void TestLoadFirmware::slicing_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("packets");
    QTest::newRow("0 bytes") << QByteArray() << 0;
    QTest::newRow("1 byte") << pattern(1) << 1;
    QTest::newRow("1024 bytes") << pattern(1024) << 1;
    QTest::newRow("1025 bytes") << pattern(1025) << 2;
    QTest::newRow("2048 bytes") << pattern(2048) << 2;
    QTest::newRow("encrypted abcd") << QByteArray::fromHex("8a01000061626364") << 1;
}

void TestLoadFirmware::slicing()
{
    QFETCH(QByteArray, content);
    QFETCH(int, packets);
    EngineRig rig;
    const int size = content.size();
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", content));
    QCOMPARE(int(rig.engine.m_packet_count), packets);
    QCOMPARE(int(rig.engine.m_packets.size()), packets);
    QCOMPARE(rig.engine.m_firmware_size, quint32(size));
    const QByteArray all = joined(rig.engine.m_packets);
    QCOMPARE(all.size(), packets * 1024);
    QCOMPARE(all.left(size), content);
    QCOMPARE(all.mid(size), QByteArray(all.size() - size, '\x1a'));
    const QString line =
        QString("\"%1\" firwmare sliced into  %2 packet").arg(rig.firmware).arg(packets);
    QVERIFY2(rig.log.contains(line), qPrintable(rig.log.lines().join('\n')));
    QVERIFY(rig.engine.firmware_ready());
}

void TestLoadFirmware::identity_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("emitted");
    auto row = [](const char *tag, QString name, QString model, QString version,
                  QStringList emitted) {
        QTest::newRow(tag) << name << model << version << emitted;
    };
    row("canonical", "KT62_V01.02.03.04.bin", "KT62", "01.02.03.04", {"target", "device"});
    row("short version", "KT62_V2.06.bin", "KT62", "old", {"device"});
    row("_V only in the directory", "fw_V01.02.03.04/any.bin", "old", "old", {});
}

void TestLoadFirmware::identity()
{
    QFETCH(QString, name);
    QFETCH(QString, model);
    QFETCH(QString, version);
    QFETCH(QStringList, emitted);
    EngineRig rig;
    rig.engine.m_device_model = "old";
    rig.engine.m_target_version = "old";
    QVERIFY(rig.load(name, pattern(10)));
    QCOMPARE(rig.engine.m_device_model, model);
    QCOMPARE(rig.engine.m_target_version, version);
    QCOMPARE(rig.events, emitted);
    QCOMPARE(int(rig.engine.m_packet_count), 1);
}

void TestLoadFirmware::secondLoadReplacesFirst()
{
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(3000, 'a')));
    QVERIFY(rig.load("KT62_V01.02.03.05.bin", QByteArray(100, 'b')));
    QCOMPARE(rig.engine.m_firmware_size, quint32(100));
    QCOMPARE(int(rig.engine.m_packet_count), 1);
    QCOMPARE(joined(rig.engine.m_packets), QByteArray(100, 'b') + QByteArray(924, '\x1a'));
    QCOMPARE(rig.engine.m_target_version, QString("01.02.03.05"));
}

void TestLoadFirmware::emptyPath()
{
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(3000, 'a')));
    rig.firmware.clear();
    QVERIFY(!rig.engine.load_firmware());
    QVERIFY(rig.log.contains("firmware filename empty"));
    // The table of the earlier load stays.
    QCOMPARE(int(rig.engine.m_packet_count), 3);
    QVERIFY(!rig.engine.firmware_ready());
}

void TestLoadFirmware::tooLarge_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("loaded");
    QTest::newRow("65535 packets") << qint64(65535) * 1024 << true;
    QTest::newRow("65536 packets") << qint64(65535) * 1024 + 1 << false;
}

void TestLoadFirmware::tooLarge()
{
    QFETCH(qint64, size);
    QFETCH(bool, loaded);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(8, 'a')));
    QVERIFY(QFile::resize(rig.firmware, size)); // sparse
    rig.log.clear();
    QCOMPARE(rig.engine.load_firmware(), loaded);
    QCOMPARE(int(rig.engine.m_packet_count), loaded ? 65535 : 0);
    QCOMPARE(int(rig.engine.m_packets.size()), loaded ? 65535 : 0);
    QCOMPARE(rig.engine.m_firmware_size, quint32(loaded ? size : 8));
    QCOMPARE(rig.log.lines().join('\n').contains("firmware too large"), !loaded);
    if (!loaded) {
        expectNoErase(rig);
    }
}

void TestLoadFirmware::readError_data()
{
    QTest::addColumn<int>("good_bytes");
    QTest::addColumn<bool>("stall");
    QTest::newRow("fails at once") << 0 << false;
    QTest::newRow("fails after two packets") << 2048 << false;
    QTest::newRow("fails inside a packet") << 1500 << false;
    QTest::newRow("stalls after a packet") << 1024 << true;
}

void TestLoadFirmware::readError()
{
    QFETCH(int, good_bytes);
    QFETCH(bool, stall);
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(8, 'a')));
    rig.events.clear();
    FaultyFile file(good_bytes, stall);
    QVERIFY(!rig.engine.load_firmware_from(file, rig.firmware));
    QVERIFY(rig.engine.m_packets.empty());
    QCOMPARE(int(rig.engine.m_packet_count), 0);
    QCOMPARE(rig.engine.m_firmware_size, quint32(8));
    QVERIFY(rig.events.isEmpty());
    QVERIFY(!rig.engine.firmware_ready());
    QVERIFY(rig.log.lines().join('\n').contains("firmware read failed"));
    expectNoErase(rig);
}

enum class Spoil
{
    NeverLoaded,
    EmptyFile,
    MissingFile,
    OtherFileChosen
};
Q_DECLARE_METATYPE(Spoil)

void TestLoadFirmware::staleTableRefused_data()
{
    QTest::addColumn<Spoil>("spoil");
    QTest::newRow("never loaded") << Spoil::NeverLoaded;
    QTest::newRow("empty file") << Spoil::EmptyFile;
    QTest::newRow("missing file after a good one") << Spoil::MissingFile;
    QTest::newRow("other file chosen, not loaded") << Spoil::OtherFileChosen;
}

void TestLoadFirmware::staleTableRefused()
{
    QFETCH(Spoil, spoil);
    EngineRig rig;
    if (spoil != Spoil::NeverLoaded) {
        QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(5000, 'a')));
    }
    switch (spoil) {
    case Spoil::NeverLoaded:
        rig.firmware = "/nowhere/KT62_V01.02.03.04.bin";
        break;
    case Spoil::EmptyFile:
        QVERIFY(rig.load("KT62_V01.02.03.05.bin", QByteArray()));
        break;
    case Spoil::MissingFile:
        rig.firmware += ".gone";
        QVERIFY(!rig.engine.load_firmware());
        break;
    case Spoil::OtherFileChosen:
        rig.firmware += ".other";
        break;
    }
    expectNoErase(rig);
}

void TestLoadFirmware::loadFailsWhileQuerying()
{
    EngineRig rig;
    QVERIFY(rig.load("KT62_V01.02.03.04.bin", QByteArray(5000, 'a')));
    QVERIFY(rig.engine.start_upgrade());
    rig.firmware += ".gone";
    QVERIFY(!rig.engine.load_firmware());
    rig.takeSent();
    rig.events.clear();
    rig.device(EngineRig::frame(dev::INFO, "KT62_V01.00.00.00"));
    // No erase for the size of the image that is no longer loaded.
    QCOMPARE(rig.takeSent(), QString());
    QCOMPARE(rig.events, (QStringList{"device", "info:Upgrade faild!", "finished"}));
    QVERIFY(!rig.engine.m_running);
}

QTEST_GUILESS_MAIN(TestLoadFirmware)
#include "tst_load_firmware.moc"
