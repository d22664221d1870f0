#include "firmware_image.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

Q_DECLARE_METATYPE(EncryptStatus)

namespace {
const QByteArray SHORT_BLOCK_LINE("Error: length little 4byte\n");

// Runs fn with standard output sent to a file; returns what it wrote.
template <typename Fn> QByteArray captureStdout(Fn fn)
{
    QTemporaryFile sink;
    sink.open();
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(sink.handle(), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = char(i * 7 % 251 + 1);
    }
    return bytes;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Serves 2148 bytes, then fails every read.
class FailingDevice : public QIODevice
{
public:
    FailingDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return 1; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin(max, 2148 - m_done);
        memset(data, 0x5A, size_t(qMax<qint64>(n, 0)));
        m_done += n;
        return n > 0 ? n : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_done = 0;
};
} // namespace

class TestFirmwareImage : public QObject
{
    Q_OBJECT
private slots:
    void golden_data();
    void golden();
    void shortBlockRefused_data();
    void shortBlockRefused();
    void transformAndChecksum();
    void laterRunLeavesNothingOfEarlier();
    void failureLeavesOutputAlone_data();
    void failureLeavesOutputAlone();
    void longerFileReplacedExactly();
    void fullBufferAccepted();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestFirmwareImage::golden_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QByteArray>("stdoutText");
    QTest::newRow("abcd") << QByteArray("abcd") << QByteArray::fromHex("8a01000061626364")
                          << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray(4, '\0') << QByteArray();
    QTest::newRow("3-byte tail") << QByteArray("xyz") << QByteArray(7, '\0') << SHORT_BLOCK_LINE;
    // Only the key word 17 9F 6B 2D is non-zero; its sum 334 heads the file.
    QTest::newRow("zero block") << QByteArray(1024, '\0')
                                << QByteArray::fromHex("4e010000179f6b2d") + QByteArray(1020, '\0')
                                << QByteArray();
}

void TestFirmwareImage::golden()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, image);
    QFETCH(QByteArray, stdoutText);
    QVERIFY(writeFile(path("plain.bin"), plain));
    LogCapture log;
    EncryptResult result;
    const QByteArray printed =
        captureStdout([&] { result = encrypt_firmware_file(path("plain.bin"), path("out.bin")); });
    QCOMPARE(result.status, EncryptStatus::Ok);
    QCOMPARE(printed, stdoutText);
    QCOMPARE(readFile(path("out.bin")).toHex(), image.toHex());
    captureStdout([&] { QCOMPARE(encrypt_image(plain).toHex(), image.toHex()); });
}

void TestFirmwareImage::shortBlockRefused_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("negative") << -1;
    QTest::newRow("zero") << 0;
    QTest::newRow("three") << 3;
}

void TestFirmwareImage::shortBlockRefused()
{
    QFETCH(int, length);
    const quint8 src[4] = {1, 2, 3, 4};
    quint8 dst[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    g_checksum = 77;
    quint32 answer = 0;
    QCOMPARE(captureStdout([&] { answer = encrypt_block(src, dst, length); }), SHORT_BLOCK_LINE);
    QCOMPARE(answer, 0xFFFFFFFFu);
    QCOMPARE(get_checksum(), 77u);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(dst), 4), QByteArray(4, '\xAA'));
}

void TestFirmwareImage::transformAndChecksum()
{
    // Two full blocks, each keyed on its own first word (file offsets 4 and
    // 1028), then a 4-byte block copied as is.
    const QByteArray plain = pattern(2052);
    const QByteArray image = encrypt_image(plain);
    QCOMPARE(image.size(), 2056);
    QCOMPARE(quint8(image[4]), quint8(plain[0] ^ 0x17));
    QCOMPARE(quint8(image[1031]), quint8(plain[1027] ^ 0x2D));
    QCOMPARE(image.mid(8, 1020), plain.mid(4, 1020));
    QCOMPARE(image.mid(2052), plain.mid(2048));
    QCOMPARE(decrypt_body(image.mid(4)), plain);
    QVERIFY(checksum_header_matches(image));
    QByteArray tampered = image;
    tampered[2000] = char(tampered[2000] + 1);
    QVERIFY(!checksum_header_matches(tampered));
    QVERIFY(!checksum_header_matches("abc"));
    QVERIFY(checksum_header_matches(QByteArray::fromHex("fe010000ffff"))); // unsigned bytes
}

void TestFirmwareImage::laterRunLeavesNothingOfEarlier()
{
    QVERIFY(writeFile(path("big.bin"), pattern(4096)));
    QVERIFY(writeFile(path("small.bin"), pattern(1027)));
    LogCapture log;
    QCOMPARE(encrypt_firmware_file(path("big.bin"), path("big_out.bin")).status, EncryptStatus::Ok);
    captureStdout([&] {
        QCOMPARE(encrypt_firmware_file(path("small.bin"), path("small_out.bin")).status,
                 EncryptStatus::Ok);
    });
    const QByteArray image = readFile(path("small_out.bin"));
    QCOMPARE(image.size(), 1031);
    QCOMPARE(image.right(3), QByteArray(3, '\0'));
    QCOMPARE(decrypt_body(image.mid(4, 1024)), pattern(1024));
    QVERIFY(checksum_header_matches(image));
}

void TestFirmwareImage::failureLeavesOutputAlone_data()
{
    QTest::addColumn<QString>("source"); // "" reads from a device that fails midway
    QTest::addColumn<qint64>("size");    // of a sparse source; -1 for a 2000-byte pattern
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("fileSizeLimit");
    QTest::addColumn<EncryptStatus>("status");
    QTest::newRow("missing source")
        << "missing.bin" << qint64(0) << "kept.bin" << 0 << EncryptStatus::SourceUnreadable;
    QTest::newRow("read error midway")
        << "" << qint64(0) << "kept.bin" << 0 << EncryptStatus::SourceUnreadable;
    QTest::newRow("one byte too large") << "plain.bin" << qint64(ENCRYPT_BUFFER_SIZE + 1)
                                        << "kept.bin" << 0 << EncryptStatus::SourceTooLarge;
    QTest::newRow("output directory missing")
        << "plain.bin" << qint64(-1) << "gone/out.bin" << 0 << EncryptStatus::OutputFailed;
    QTest::newRow("output is a directory")
        << "plain.bin" << qint64(-1) << "sub" << 0 << EncryptStatus::OutputFailed;
    // The file-size limit cuts the write short, as a full disk would.
    QTest::newRow("short write") << "plain.bin" << qint64(-1) << "kept.bin" << 1000
                                 << EncryptStatus::OutputFailed;
}

void TestFirmwareImage::failureLeavesOutputAlone()
{
    QFETCH(QString, source);
    QFETCH(qint64, size);
    QFETCH(QString, output);
    QFETCH(int, fileSizeLimit);
    QFETCH(EncryptStatus, status);
    QDir dir(m_dir.path());
    dir.removeRecursively();
    QVERIFY(dir.mkpath(QStringLiteral("sub")));
    QVERIFY(writeFile(path("kept.bin"), "earlier contents"));
    QFile plain(path("plain.bin"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    QVERIFY(size < 0 ? plain.write(pattern(2000)) == 2000 : plain.resize(size));
    plain.close();
    const QStringList before = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = fileSizeLimit > 0 ? rlim_t(fileSizeLimit) : saved.rlim_cur;
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
    FailingDevice failing;
    const EncryptStatus got = source.isEmpty()
                                  ? encrypt_firmware_stream(failing, path(output)).status
                                  : encrypt_firmware_file(path(source), path(output)).status;
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);

    QCOMPARE(got, status);
    QCOMPARE(readFile(path("kept.bin")), QByteArray("earlier contents"));
    QCOMPARE(dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestFirmwareImage::longerFileReplacedExactly()
{
    QVERIFY(writeFile(path("plain.bin"), "abcd"));
    QVERIFY(writeFile(path("long.bin"), pattern(10000)));
    LogCapture log;
    QCOMPARE(encrypt_firmware_file(path("plain.bin"), path("long.bin")).status, EncryptStatus::Ok);
    QCOMPARE(readFile(path("long.bin")).toHex(), QByteArray("8a01000061626364"));
}

void TestFirmwareImage::fullBufferAccepted()
{
    QFile plain(path("full.bin"));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.resize(ENCRYPT_BUFFER_SIZE));
    LogCapture log;
    QCOMPARE(encrypt_firmware_file(path("full.bin"), path("full_out.bin")).status,
             EncryptStatus::Ok);
    QCOMPARE(QFileInfo(path("full_out.bin")).size(), qint64(ENCRYPT_BUFFER_SIZE) + 4);
}

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmware_image.moc"
