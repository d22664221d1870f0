#include "firmware_image.h"
#include "logcapture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

Q_DECLARE_METATYPE(EncryptStatus)

namespace {
// Runs fn with the process's standard output sent to a file; returns what
// was written there.
template <typename Fn> QByteArray capture_stdout(Fn fn)
{
    QTemporaryFile sink;
    if (!sink.open()) {
        return "<no sink>";
    }
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(sink.handle(), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = char((i * 7 + seed) % 251 + 1);
    }
    return bytes;
}

bool write_file(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Serves `good` bytes, then fails every further read.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 good) : m_good(good)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 1 + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin(max, m_good - m_done);
        if (n <= 0) {
            return -1;
        }
        memset(data, 0x5A, size_t(n));
        m_done += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_good;
    qint64 m_done = 0;
};
} // namespace

class TestFirmwareImage : public QObject
{
    Q_OBJECT
private slots:
    void goldenImages_data();
    void goldenImages();
    void shortBlockRefused_data();
    void shortBlockRefused();
    void fullAndPartialBlocks();
    void transformIsItsOwnInverse();
    void checksumHeader_data();
    void checksumHeader();
    void fileMatchesMemory_data();
    void fileMatchesMemory();
    void laterRunLeavesNothingOfEarlier();
    void sourceLimit_data();
    void sourceLimit();
    void failuresLeaveOutputAlone_data();
    void failuresLeaveOutputAlone();
    void shortWriteLeavesOutputAlone();
    void longerFileReplacedExactly();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestFirmwareImage::goldenImages_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("image");
    QTest::newRow("abcd") << QByteArray("abcd") << QByteArray::fromHex("8a01000061626364");
    QTest::newRow("empty") << QByteArray() << QByteArray(4, '\0');
    QTest::newRow("1 byte tail") << QByteArray("\xff", 1) << QByteArray(5, '\0');
    QTest::newRow("3 byte tail") << QByteArray("xyz") << QByteArray(7, '\0');
    // A full block of zeros: only its key word is non-zero, 17 9F 6B 2D,
    // whose sum 334 is the header.
    QTest::newRow("zero block") << QByteArray(1024, '\0')
                                << QByteArray::fromHex("4e010000179f6b2d") + QByteArray(1020, '\0');
}

void TestFirmwareImage::goldenImages()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, image);
    QByteArray got;
    capture_stdout([&] { got = encrypt_image(plain); });
    QCOMPARE(got.toHex(), image.toHex());
}

void TestFirmwareImage::shortBlockRefused_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("negative") << -1;
    QTest::newRow("zero") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("three") << 3;
}

void TestFirmwareImage::shortBlockRefused()
{
    QFETCH(int, length);
    const quint8 src[4] = {1, 2, 3, 4};
    quint8 dst[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    g_checksum = 77;
    quint32 answer = 0;
    const QByteArray out = capture_stdout([&] { answer = encrypt_block(src, dst, length); });
    QCOMPARE(out, QByteArray("Error: length little 4byte\n"));
    QCOMPARE(answer, 0xFFFFFFFFu);
    QCOMPARE(get_checksum(), 77u);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(dst), 4), QByteArray(4, '\xAA'));
}

void TestFirmwareImage::fullAndPartialBlocks()
{
    // A 4-byte last block is copied as is; a full block gets the key on
    // its first word only; the sums accumulate.
    const QByteArray plain = pattern(1024, 3);
    QByteArray dst(1024, '\0');
    reset_checksum();
    const quint8 *src = reinterpret_cast<const quint8 *>(plain.constData());
    quint8 *out = reinterpret_cast<quint8 *>(dst.data());

    const quint32 short_sum = encrypt_block(src, out, 4);
    QCOMPARE(dst.left(4), plain.left(4));
    QCOMPARE(short_sum, byte_sum(plain.constData(), 4));

    const quint32 full_sum = encrypt_block(src, out, 1024);
    QCOMPARE(quint8(dst[0]), quint8(plain[0] ^ 0x17));
    QCOMPARE(quint8(dst[1]), quint8(plain[1] ^ 0x9F));
    QCOMPARE(quint8(dst[2]), quint8(plain[2] ^ 0x6B));
    QCOMPARE(quint8(dst[3]), quint8(plain[3] ^ 0x2D));
    QCOMPARE(dst.mid(4), plain.mid(4));
    QCOMPARE(full_sum, byte_sum(dst.constData(), 1024));
    QCOMPARE(get_checksum(), short_sum + full_sum);
}

void TestFirmwareImage::transformIsItsOwnInverse()
{
    // 2052 bytes: two full blocks (key words at file offsets 4 and 1028),
    // then a 4-byte block copied unchanged.
    const QByteArray plain = pattern(2052, 9);
    const QByteArray image = encrypt_image(plain);
    QCOMPARE(image.size(), 2056);
    QVERIFY(image.mid(4, 4) != plain.mid(0, 4));
    QVERIFY(image.mid(1028, 4) != plain.mid(1024, 4));
    QCOMPARE(image.mid(2052), plain.mid(2048));
    QCOMPARE(decrypt_body(image.mid(4)), plain);
}

void TestFirmwareImage::checksumHeader_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("matches");
    const QByteArray good = encrypt_image(pattern(3000, 1));
    QByteArray tampered = good;
    tampered[2000] = char(tampered[2000] + 1);
    QTest::newRow("good") << good << true;
    QTest::newRow("body changed") << tampered << false;
    QTest::newRow("header only") << QByteArray(4, '\0') << true;
    QTest::newRow("too short") << QByteArray(3, '\0') << false;
    // Bytes count as unsigned: FF FF sums to 0x1FE.
    QTest::newRow("high bytes") << QByteArray::fromHex("fc010000ffff") << false;
    QTest::newRow("high bytes ok") << QByteArray::fromHex("fe010000ffff") << true;
}

void TestFirmwareImage::checksumHeader()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, matches);
    QCOMPARE(checksum_header_matches(image), matches);
}

void TestFirmwareImage::fileMatchesMemory_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("0") << 0;
    QTest::newRow("3") << 3;
    QTest::newRow("1027") << 1027;
    QTest::newRow("4096") << 4096;
    QTest::newRow("5 MiB") << ENCRYPT_BUFFER_SIZE;
}

void TestFirmwareImage::fileMatchesMemory()
{
    QFETCH(int, size);
    const QByteArray plain = pattern(size, size);
    QVERIFY(write_file(path("plain.bin"), plain));
    LogCapture log;
    EncryptResult result;
    capture_stdout([&] { result = encrypt_firmware_file(path("plain.bin"), path("out.bin")); });
    QCOMPARE(result.status, EncryptStatus::Ok);
    QCOMPARE(result.plain_size, qint64(size));
    const QByteArray image = read_file(path("out.bin"));
    QCOMPARE(image.size(), size + 4);
    QByteArray expected;
    capture_stdout([&] { expected = encrypt_image(plain); });
    QVERIFY(image == expected);
    QVERIFY(checksum_header_matches(image));
    QCOMPARE(log.lines(),
             QStringList{QStringLiteral("encrypt checksum is: %1").arg(result.checksum)});
}

void TestFirmwareImage::laterRunLeavesNothingOfEarlier()
{
    QVERIFY(write_file(path("big.bin"), pattern(4096, 5)));
    QVERIFY(write_file(path("small.bin"), pattern(1027, 6)));
    QCOMPARE(encrypt_firmware_file(path("big.bin"), path("big_out.bin")).status, EncryptStatus::Ok);
    LogCapture log;
    EncryptResult result;
    const QByteArray out = capture_stdout(
        [&] { result = encrypt_firmware_file(path("small.bin"), path("small_out.bin")); });
    QCOMPARE(result.status, EncryptStatus::Ok);
    QCOMPARE(out, QByteArray("Error: length little 4byte\n"));
    const QByteArray image = read_file(path("small_out.bin"));
    QCOMPARE(image.size(), 1031);
    QCOMPARE(image.right(3), QByteArray(3, '\0'));
    QCOMPARE(decrypt_body(image.mid(4)).left(1024), pattern(1027, 6).left(1024));
    QVERIFY(checksum_header_matches(image));
}

void TestFirmwareImage::sourceLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<EncryptStatus>("status");
    QTest::newRow("at the limit") << qint64(ENCRYPT_BUFFER_SIZE) << EncryptStatus::Ok;
    QTest::newRow("one byte over")
        << qint64(ENCRYPT_BUFFER_SIZE + 1) << EncryptStatus::SourceTooLarge;
    QTest::newRow("far over") << qint64(64) * 1024 * 1024 << EncryptStatus::SourceTooLarge;
}

void TestFirmwareImage::sourceLimit()
{
    QFETCH(qint64, size);
    QFETCH(EncryptStatus, status);
    QFile sparse(path("limit.bin"));
    QVERIFY(sparse.open(QIODevice::WriteOnly));
    QVERIFY(sparse.resize(size));
    sparse.close();
    QFile::remove(path("limit_out.bin"));
    LogCapture log;
    QCOMPARE(encrypt_firmware_file(path("limit.bin"), path("limit_out.bin")).status, status);
    if (status == EncryptStatus::Ok) {
        QCOMPARE(QFileInfo(path("limit_out.bin")).size(), size + 4);
    } else {
        QVERIFY(!QFile::exists(path("limit_out.bin")));
        QVERIFY(log.lines().first().startsWith(QStringLiteral("plain firmware too large:")));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("limit_out*")}, QDir::Files),
                 QStringList());
    }
}

void TestFirmwareImage::failuresLeaveOutputAlone_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("output");
    QTest::addColumn<EncryptStatus>("status");
    QTest::newRow("missing source") << "missing.bin"
                                    << "kept.bin" << EncryptStatus::SourceUnreadable;
    QTest::newRow("directory as source") << "."
                                         << "kept.bin" << EncryptStatus::SourceUnreadable;
    QTest::newRow("missing output directory")
        << "plain.bin"
        << "no_such_dir/out.bin" << EncryptStatus::OutputFailed;
    QTest::newRow("output is a directory") << "plain.bin"
                                           << "sub" << EncryptStatus::OutputFailed;
}

void TestFirmwareImage::failuresLeaveOutputAlone()
{
    QFETCH(QString, source);
    QFETCH(QString, output);
    QFETCH(EncryptStatus, status);
    QVERIFY(write_file(path("plain.bin"), pattern(2000, 2)));
    QVERIFY(write_file(path("kept.bin"), "earlier contents"));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("sub")));
    const QStringList before =
        QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QCOMPARE(encrypt_firmware_file(path(source), path(output)).status, status);
    QCOMPARE(read_file(path("kept.bin")), QByteArray("earlier contents"));
    QCOMPARE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(!QFile::exists(path("no_such_dir")));
}

void TestFirmwareImage::shortWriteLeavesOutputAlone()
{
    // A read error midway, then a write that the file-size limit cuts short:
    // neither may touch the file already at the output path.
    QVERIFY(write_file(path("kept.bin"), "earlier contents"));
    FailingDevice failing(2048 + 100);
    QCOMPARE(encrypt_firmware_stream(failing, path("kept.bin")).status,
             EncryptStatus::SourceUnreadable);
    QCOMPARE(read_file(path("kept.bin")), QByteArray("earlier contents"));

    QVERIFY(write_file(path("plain.bin"), pattern(8192, 4)));
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const EncryptStatus status = encrypt_firmware_file(path("plain.bin"), path("kept.bin")).status;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    QCOMPARE(status, EncryptStatus::OutputFailed);
    QCOMPARE(read_file(path("kept.bin")), QByteArray("earlier contents"));
}

void TestFirmwareImage::longerFileReplacedExactly()
{
    QVERIFY(write_file(path("plain.bin"), "abcd"));
    QVERIFY(write_file(path("long.bin"), pattern(10000, 8)));
    QCOMPARE(encrypt_firmware_file(path("plain.bin"), path("long.bin")).status, EncryptStatus::Ok);
    QCOMPARE(read_file(path("long.bin")).toHex(), QByteArray("8a01000061626364"));
}

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmware_image.moc"
