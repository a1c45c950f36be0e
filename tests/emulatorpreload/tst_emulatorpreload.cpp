// A program linked against the system libusb-0.1, as the shipped one is,
// runs with libkelto-emulator.so preloaded: it must find the emulated
// converter configured by the KELTO_EMU_* variables its test sets.
#include "imagecodec.h"
#include "usbmirel.h"

#include <QDataStream>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

constexpr int appOffset = 0x4000;
constexpr int appSize = 0x3C000;
constexpr int extOffset = 0x40000;
constexpr int extSize = 0x14000;

// The plain flash image the upgrade file of the test carries: a patterned
// application with brand 0 and its checksum, and a patterned external
// section.
QByteArray plainImage()
{
    QByteArray image(0x60000, 0);
    for (int i = 0; i < appSize; ++i)
        image[appOffset + i] = char(i * 7 + 1);
    image[0x3FFD0] = 0;
    image[0x3FFD1] = 0;
    uint32_t sum = 0;
    for (int i = 0; i < appSize - 4; i += 4) {
        const auto *p = reinterpret_cast<const uchar *>(image.constData() + appOffset + i);
        sum += uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    for (int b = 0; b < 4; ++b)
        image[appOffset + appSize - 4 + b] = char(sum >> (8 * b));
    for (int i = 0; i < extSize; ++i)
        image[extOffset + i] = char(i * 3 + 5);
    return image;
}

} // namespace

class TestEmulatorPreload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(quiet); }
    void talksToTheEmulatedConverter();
    void loadsAnUpgradeFile();
    void childReadsLoadedImage();
};

void TestEmulatorPreload::talksToTheEmulatedConverter()
{
    if (qgetenv("LD_PRELOAD").isEmpty())
        QSKIP("only meaningful with the emulator preloaded");
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("PRELOAD01b")); // KELTO_EMU_MODE=bootloader
    std::vector<unsigned char> page(2048), plain(2048), back(2048);
    for (size_t i = 0; i < page.size(); ++i)
        plain[i] = page[i] = uint8_t(i * 13);
    QCOMPARE(dev.WritePage(page.data(), 0x08004000), 0);
    QCOMPARE(dev.ReadMemory(back.data(), 0x08004000, 2048), 0);
    QVERIFY(back == plain);
    dev.RunApplication();
    dev.disconnect();
    // The page broke the checksum: the bootloader stays.
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("PRELOAD01b"));
}

void TestEmulatorPreload::loadsAnUpgradeFile()
{
    if (qgetenv("LD_PRELOAD").isEmpty())
        QSKIP("only meaningful with the emulator preloaded");
    // The image is read when the library loads, before main(): write the
    // file, then run this program again with KELTO_EMU_APP_IMAGE set.
    QTemporaryDir dir;
    const QString path = dir.filePath("image.upg");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QDataStream out(&f);
        QByteArray image = plainImage();
        encodeImage(reinterpret_cast<unsigned char *>(image.data()), uint32_t(image.size()));
        out << QString("Kelto Upgrade File Header") << QString("03") << image;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KELTO_EMU_APP_IMAGE", path);
    env.insert("KELTO_PRELOAD_CHILD", "1");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"childReadsLoadedImage"});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAllStandardOutput();
    QVERIFY2(child.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestEmulatorPreload::childReadsLoadedImage()"),
        output.constData());
}

void TestEmulatorPreload::childReadsLoadedImage()
{
    if (qgetenv("KELTO_PRELOAD_CHILD").isEmpty())
        QSKIP("run by loadsAnUpgradeFile in a process of its own");
    const QByteArray image = plainImage();
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    QByteArray app(appSize, 0), ext(extSize, 0);
    QCOMPARE(dev.ReadMemory(reinterpret_cast<unsigned char *>(app.data()), 0x08004000, appSize), 0);
    QVERIFY(app == image.mid(appOffset, appSize));
    QCOMPARE(dev.ReadExternalFlash(reinterpret_cast<unsigned char *>(ext.data()), 0, extSize), 0);
    // The external flash holds its section encoded, as a firmware change
    // leaves it.
    QByteArray extAsWritten = image.mid(extOffset, extSize);
    encodeImage(reinterpret_cast<unsigned char *>(extAsWritten.data()), uint32_t(extSize));
    QVERIFY(ext == extAsWritten);
    // Its checksum is right: the bootloader starts the loaded application.
    dev.RunApplication();
    dev.disconnect();
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("PRELOAD01"));
}

QTEST_GUILESS_MAIN(TestEmulatorPreload)
#include "tst_emulatorpreload.moc"
