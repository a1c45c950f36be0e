// A program linked against the system libusb-0.1, as the shipped one is,
// runs with libkelto-emulator.so preloaded: it must find the emulated
// converter configured by the KELTO_EMU_* variables its test sets.
#include "usbmirel.h"

#include <QTest>

#include <vector>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }
} // namespace

class TestEmulatorPreload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(quiet); }
    void talksToTheEmulatedConverter();
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

QTEST_GUILESS_MAIN(TestEmulatorPreload)
#include "tst_emulatorpreload.moc"
