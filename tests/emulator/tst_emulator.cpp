// The emulated converter through the libusb-0.1 calls alone: its request
// set, its refusals, its restarts between the two firmwares, its clock and
// its faults. The host tests rely on all of this behaving like the device.
#include "emulator.h"
#include "imagetransform.h"

#include <usb.h>

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cerrno>

#include <cstring>
#include <thread>
#include <vector>

namespace emu = kelto::emu;

namespace {

// Opens the first device the bus shows, as the transport does.
usb_dev_handle *openFirst()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_bus *bus = usb_get_busses();
    if (!bus || !bus->devices)
        return nullptr;
    usb_dev_handle *h = usb_open(bus->devices);
    if (h && (usb_set_configuration(h, 1) < 0 || usb_claim_interface(h, 0) < 0)) {
        usb_close(h);
        return nullptr;
    }
    return h;
}

int in(usb_dev_handle *h, int request, uint32_t address, std::vector<uint8_t> &buf)
{
    return usb_control_msg(h, 0xC0, request, int(address & 0xFFFF), int(address >> 16),
        reinterpret_cast<char *>(buf.data()), int(buf.size()), 2000);
}

int out(usb_dev_handle *h, int request, uint32_t address, std::vector<uint8_t> buf)
{
    return usb_control_msg(h, 0x40, request, int(address & 0xFFFF), int(address >> 16),
        buf.empty() ? nullptr : reinterpret_cast<char *>(buf.data()), int(buf.size()), 2000);
}

std::string serialOf(usb_dev_handle *h)
{
    unsigned char d[256];
    const int n = usb_get_descriptor(h, USB_DT_STRING, 3, d, sizeof d);
    std::string s;
    for (int i = 2; i + 1 < n; i += 2)
        s += char(d[i]);
    return s;
}

// A whole application area with a correct checksum, as an upgrade writes it.
std::vector<uint8_t> validApplication(uint8_t fill)
{
    std::vector<uint8_t> app(emu::applicationEnd - emu::applicationBase, fill);
    const uint32_t sum = emu::applicationChecksum(app.data());
    std::memcpy(&app[app.size() - 4], &sum, 4); // little-endian host
    return app;
}

} // namespace

class TestEmulator : public QObject
{
    Q_OBJECT

private slots:
    void init() { emu::reset(); }

    void defaultDevice();
    void memoryReadsAreEncodedPerTransfer();
    void bootloaderFacts();
    void refusals_data();
    void refusals();
    void pageWritesAreDecodedAndStored();
    void applicationRestartsIntoBootloader();
    void bootloaderStartsOnlyValidApplication_data();
    void bootloaderStartsOnlyValidApplication();
    void deviceThatNeverComesBack();
    void timingChargesTheVirtualClock();
    void eachConverterKeepsItsOwnTime();
    void faults_data();
    void powerCut();
    void faults();
    void dropOffAndComeBack();
    void scriptedRepliesOverrideTheDevice();
    void severalBussesInOrder();
    void generatedBallastDataMovesSlowly();
    void resetKillsOldHandles();
};

void TestEmulator::defaultDevice()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    usb_bus *bus = usb_get_busses();
    QVERIFY(bus);
    QVERIFY(!bus->next);
    QVERIFY(bus->devices);
    QCOMPARE(bus->devices->descriptor.idVendor, uint16_t(0x16C0));
    QCOMPARE(bus->devices->descriptor.idProduct, uint16_t(0x078B));
    // The bus's root hub is listed after it, as the system library lists it.
    QVERIFY(bus->devices->next);
    QCOMPARE(bus->devices->next->descriptor.idVendor, uint16_t(0x1d6b));
    QVERIFY(!bus->devices->next->next);
    usb_dev_handle *h = openFirst();
    QVERIFY(h);
    QCOMPARE(emu::openHandles(), 1);
    std::vector<uint8_t> id(2);
    QCOMPARE(in(h, 255, 0, id), 2);
    QCOMPARE(id, (std::vector<uint8_t> {0xFF, 0x00}));
    QCOMPARE(in(h, 254, 0, id), 2);
    QCOMPARE(id, (std::vector<uint8_t> {0x00, 0x00}));
    QCOMPARE(serialOf(h), std::string("KT0000001"));
    // The kernel does not reconfigure a device whose interface is held, and
    // has no configuration 2 to give.
    QCOMPARE(usb_set_configuration(h, 2), emu::errBusy);
    QCOMPARE(usb_release_interface(h, 0), 0);
    QCOMPARE(usb_set_configuration(h, 2), -EINVAL);
    QCOMPARE(usb_close(h), 0);
    QCOMPARE(emu::openHandles(), 0);
    QVERIFY(emu::applicationValid());
}

void TestEmulator::memoryReadsAreEncodedPerTransfer()
{
    usb_dev_handle *h = openFirst();
    const auto flash = emu::flash();
    for (uint32_t length : {2048u, 904u, 2u, 7u}) {
        std::vector<uint8_t> buf(length);
        QCOMPARE(in(h, 1, 0x08004800, buf), int(length));
        kelto::decodeWords(buf.data(), length);
        QVERIFY(std::memcmp(buf.data(), flash.data() + 0x4800, length) == 0);
    }
    usb_close(h);
}

void TestEmulator::bootloaderFacts()
{
    const auto flash = emu::flash();
    QCOMPARE(int(flash[0x3FD0]) | int(flash[0x3FD1]) << 8, 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&flash[0x3FE0])), QByteArray("KBL 2.04"));
    QCOMPARE(
        QByteArray(reinterpret_cast<const char *>(&flash[0x3FF0]), 9), QByteArray("KT0000001"));
    emu::DeviceConfig c;
    c.serial = "AB1234567";
    const int id = emu::addDevice(c);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&emu::flash(id)[0x3FF0]), 9),
        QByteArray("AB1234567"));
}

void TestEmulator::refusals_data()
{
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("request");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("length");
    QTest::newRow("unknown IN request") << false << 0xC0 << 12 << 0u << 4;
    QTest::newRow("unknown OUT request") << false << 0x40 << 200 << 0u << 4;
    QTest::newRow("memory read over 2048") << false << 0xC0 << 1 << 0x08004000u << 2049;
    QTest::newRow("memory read past flash") << false << 0xC0 << 1 << 0x0805FFF0u << 32;
    QTest::newRow("memory read below flash") << false << 0xC0 << 1 << 0x07FFFFF0u << 32;
    QTest::newRow("page write in application") << false << 0x40 << 3 << 0x08004000u << 2048;
    QTest::newRow("page write of 2047") << true << 0x40 << 3 << 0x08004000u << 2047;
    QTest::newRow("page write over bootloader") << true << 0x40 << 3 << 0x08003800u << 2048;
    QTest::newRow("page write off boundary") << true << 0x40 << 3 << 0x08004100u << 2048;
    QTest::newRow("page write past application") << true << 0x40 << 3 << 0x08040000u << 2048;
    QTest::newRow("external read over 512") << false << 0xC0 << 5 << 0u << 513;
    QTest::newRow("external write over 256") << false << 0x40 << 6 << 0u << 257;
    QTest::newRow("external read past the end") << false << 0xC0 << 5 << 0xFFF00u << 512;
    QTest::newRow("status set of 3 bytes") << false << 0x40 << 7 << 0u << 3;
    QTest::newRow("status get as OUT") << false << 0x40 << 9 << 0u << 4;
    QTest::newRow("summary in bootloader") << true << 0xC0 << 10 << 0u << 864;
    QTest::newRow("records in bootloader") << true << 0xC0 << 11 << 0u << 1792;
    QTest::newRow("restart with data") << false << 0x40 << 4 << 0u << 4;
    QTest::newRow("test write over 512") << false << 0x40 << 2 << 0u << 513;
    QTest::newRow("class request") << false << 0xA1 << 1 << 0u << 4;
}

void TestEmulator::refusals()
{
    QFETCH(bool, bootloader);
    QFETCH(int, type);
    QFETCH(int, request);
    QFETCH(uint32_t, address);
    QFETCH(int, length);
    if (bootloader)
        emu::setMode(emu::Mode::Bootloader);
    const auto before = emu::flash();
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> buf(size_t(length), 0);
    QCOMPARE(usb_control_msg(h, type, request, int(address & 0xFFFF), int(address >> 16),
                 reinterpret_cast<char *>(buf.data()), length, 2000),
        emu::errStall);
    QVERIFY(emu::flash() == before);
    QCOMPARE(emu::statusWord(), 0u);
    QVERIFY(emu::present());
    std::vector<uint8_t> id(2);
    QCOMPARE(in(h, 255, 0, id), 2); // a stall leaves the device usable
    usb_close(h);
}

void TestEmulator::pageWritesAreDecodedAndStored()
{
    emu::setMode(emu::Mode::Bootloader);
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> page(2048);
    for (size_t i = 0; i < page.size(); ++i)
        page[i] = uint8_t(i * 7);
    auto wire = page;
    kelto::encodeWords(wire.data(), 2048);
    QCOMPARE(out(h, 3, 0x08010000, wire), 2048);
    const auto flash = emu::flash();
    QVERIFY(std::memcmp(flash.data() + 0x10000, page.data(), 2048) == 0);
    QVERIFY(!emu::applicationValid()); // one page changed, the checksum no longer fits
    std::vector<uint8_t> test(512, 0x5A);
    QCOMPARE(out(h, 2, 0, test), 512); // the test write is accepted and changes nothing
    QVERIFY(emu::flash() == flash);
    usb_close(h);
}

void TestEmulator::applicationRestartsIntoBootloader()
{
    emu::setTiming(emu::Timing {0, 0, 0, 0, 1200});
    usb_dev_handle *h = openFirst();
    QCOMPARE(out(h, 4, 0, {}), 0);
    std::vector<uint8_t> id(2);
    QCOMPARE(in(h, 255, 0, id), emu::errNoDevice); // the old handle is gone
    QCOMPARE(usb_release_interface(h, 0), emu::errNoDevice);
    usb_close(h);
    QVERIFY(!emu::present());
    QVERIFY(!openFirst()); // still re-enumerating
    emu::advance(1199);
    QVERIFY(!emu::present());
    emu::advance(1);
    QVERIFY(emu::present());
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    h = openFirst();
    QVERIFY(h);
    QCOMPARE(serialOf(h), std::string("KT0000001b"));
    QCOMPARE(emu::reportedSerial(), std::string("KT0000001b"));
    usb_close(h);
}

void TestEmulator::bootloaderStartsOnlyValidApplication_data()
{
    QTest::addColumn<bool>("writeValid");
    QTest::addColumn<bool>("spoil");
    QTest::addColumn<bool>("application");
    QTest::newRow("valid image written") << true << false << true;
    QTest::newRow("one byte off") << true << true << false;
    QTest::newRow("erased area") << false << false << false;
}

void TestEmulator::bootloaderStartsOnlyValidApplication()
{
    QFETCH(bool, writeValid);
    QFETCH(bool, spoil);
    QFETCH(bool, application);
    emu::setMode(emu::Mode::Bootloader);
    usb_dev_handle *h = openFirst();
    auto app = writeValid ? validApplication(0x3C)
                          : std::vector<uint8_t>(emu::applicationEnd - emu::applicationBase, 0xFF);
    if (spoil)
        app[1000] ^= 0x80;
    for (uint32_t off = 0; off < app.size(); off += 2048) {
        std::vector<uint8_t> page(app.begin() + off, app.begin() + off + 2048);
        kelto::encodeWords(page.data(), 2048);
        QCOMPARE(out(h, 3, emu::applicationBase + off, page), 2048);
    }
    QCOMPARE(emu::applicationValid(), application);
    QCOMPARE(out(h, 4, 0, {}), 0);
    usb_close(h);
    h = openFirst(); // zero re-enumeration time: back at once
    QVERIFY(h);
    QCOMPARE(emu::mode(), application ? emu::Mode::Application : emu::Mode::Bootloader);
    QCOMPARE(serialOf(h), std::string(application ? "KT0000001" : "KT0000001b"));
    usb_close(h);
}

void TestEmulator::deviceThatNeverComesBack()
{
    emu::DeviceConfig c;
    c.returnsAfterReset = false;
    emu::configure(c);
    usb_dev_handle *h = openFirst();
    const struct usb_device *before = usb_get_busses()->devices;
    const unsigned char devnumBefore = before->devnum;
    QCOMPARE(out(h, 4, 0, {}), 0);
    usb_close(h);
    emu::advance(60000);
    QVERIFY(!openFirst());
    // Plugged in again it powers up as a new device: a new entry with a new
    // device number, and its bootloader starts the valid application.
    emu::plug();
    h = openFirst();
    QVERIFY(h);
    QVERIFY(usb_get_busses()->devices != before);
    QVERIFY(usb_get_busses()->devices->devnum != devnumBefore);
    QCOMPARE(emu::mode(), emu::Mode::Application);
    usb_close(h);
    // Unplugged with a broken application, it comes up in the bootloader.
    emu::writeFlash(emu::applicationChecksumAddress, {0, 0, 0, 0});
    emu::unplug();
    emu::plug();
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
}

void TestEmulator::timingChargesTheVirtualClock()
{
    QCOMPARE(emu::nowMs(), uint64_t(0));
    emu::virtualSleep(500); // what the program's waits do once installed
    QCOMPARE(emu::nowMs(), uint64_t(500));
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> buf(2048);
    QCOMPARE(in(h, 1, 0x08004000, buf), 2048);
    QCOMPARE(emu::nowMs(), uint64_t(500)); // zero timing by default

    emu::setTiming(emu::Timing::realistic());
    const uint64_t t0 = emu::nowMs();
    for (int i = 0; i < 10; ++i)
        QCOMPARE(in(h, 1, 0x08004000, buf), 2048);
    // 10 x (1 ms + 2048 x 1.25 us) = 35.6 ms
    QCOMPARE(emu::nowMs() - t0, uint64_t(35));
    emu::setMode(emu::Mode::Bootloader);
    std::vector<uint8_t> page(2048, 0);
    const uint64_t t1 = emu::nowMs();
    QCOMPARE(out(h, 3, 0x08004000, page), 2048);
    QCOMPARE(emu::nowMs() - t1, uint64_t(44)); // 535.6 ms + 43.56 ms of link time and programming
    usb_close(h);
}

void TestEmulator::eachConverterKeepsItsOwnTime()
{
    // On the real clock: while one converter programs a page, another
    // answers at once, and the busy one lets a short timeout run out.
    emu::Timing t;
    t.pageProgramUs = 300000;
    emu::setTiming(t);
    emu::setClockMode(emu::ClockMode::Real);
    emu::setMode(emu::Mode::Bootloader);
    emu::DeviceConfig c;
    c.serial = "KT0000002";
    emu::addDevice(c);
    usb_find_busses();
    usb_find_devices();
    usb_dev_handle *other = usb_open(usb_get_busses()->devices);
    usb_dev_handle *busy = usb_open(usb_get_busses()->devices->next);
    QCOMPARE(serialOf(busy), std::string("KT0000001b"));
    std::thread programming([busy] { out(busy, 3, 0x08004000, std::vector<uint8_t>(2048)); });
    QTest::qWait(50);
    std::vector<uint8_t> status(4);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(in(other, 9, 0, status), 4);
    QVERIFY(timer.elapsed() < 100);
    timer.restart();
    QCOMPARE(usb_control_msg(busy, 0xC0, 9, 0, 0, reinterpret_cast<char *>(status.data()), 4, 100),
        emu::errTimeout);
    QVERIFY(timer.elapsed() >= 100);
    programming.join();
    usb_close(other);
    usb_close(busy);
}

void TestEmulator::faults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("request");
    QTest::addColumn<QList<int>>("results"); // of five status reads (request 9)
    QTest::newRow("error on 2nd of any")
        << int(emu::FaultKind::Error) << -1 << QList<int> {4, emu::errStall, 4, 4, 4};
    QTest::newRow("error only on request 5")
        << int(emu::FaultKind::Error) << 5 << QList<int> {4, 4, 4, 4, 4};
    QTest::newRow("short on 2nd of request 9")
        << int(emu::FaultKind::Short) << 9 << QList<int> {4, 1, 4, 4, 4};
}

void TestEmulator::faults()
{
    QFETCH(int, kind);
    QFETCH(int, request);
    QFETCH(QList<int>, results);
    emu::Fault f;
    f.kind = emu::FaultKind(kind);
    f.request = request;
    f.nth = 2;
    f.shortCount = 1;
    emu::injectFault(f);
    usb_dev_handle *h = openFirst();
    QList<int> got;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> w(4);
        got << in(h, 9, 0, w);
    }
    QCOMPARE(got, results);
    const auto log = emu::transferLog(9);
    QCOMPARE(int(log.size()), 5);
    QCOMPARE(log[1].lengthReturned, results[1]);
    usb_close(h);
}

void TestEmulator::powerCut()
{
    // In the last page, which holds the checksum word: erased from where
    // the power failed.
    emu::setMode(emu::Mode::Bootloader);
    emu::Fault f;
    f.kind = emu::FaultKind::PowerCut;
    f.comeBackAfterMs = 300;
    emu::injectFault(f);
    auto wanted = emu::flash();
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> page(2048, 0x5A);
    QCOMPARE(out(h, 3, 0x0803F800, page), emu::errNoDevice);
    usb_close(h);
    emu::advance(300);
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    kelto::decodeWords(page.data(), 2048);
    std::fill(wanted.end() - 0x20800, wanted.end() - 0x20000, 0xFF);
    std::copy(page.begin(), page.begin() + 1024, wanted.end() - 0x20800);
    QVERIFY(emu::flash() == wanted);
}

void TestEmulator::dropOffAndComeBack()
{
    emu::Fault f;
    f.kind = emu::FaultKind::DropOff;
    f.nth = 2;
    f.comeBackAfterMs = 300;
    emu::injectFault(f);
    emu::Fault c;
    c.kind = emu::FaultKind::Corrupt;
    c.request = 1;
    c.byteOffset = 5;
    c.xorMask = 0x10;
    emu::injectFault(c);
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> buf(64);
    QCOMPARE(in(h, 9, 0, buf), 4);
    QCOMPARE(in(h, 9, 0, buf), emu::errNoDevice);
    usb_close(h);
    QVERIFY(!openFirst());
    emu::virtualSleep(300);
    h = openFirst();
    QVERIFY(h);
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QCOMPARE(in(h, 1, 0x08004000, buf), 64);
    kelto::decodeWords(buf.data(), 64);
    const auto flash = emu::flash();
    QCOMPARE(int(buf[5]), flash[0x4005] ^ 0x10);
    buf[5] ^= 0x10;
    QVERIFY(std::memcmp(buf.data(), flash.data() + 0x4000, 64) == 0);
    usb_close(h);
}

void TestEmulator::scriptedRepliesOverrideTheDevice()
{
    usb_dev_handle *h = openFirst();
    emu::scriptReplies({{3, {1, 2, 3, 4, 5}}, {9999, {}}, {-5, {}}, {6, {6, 0, 'X', 0}}});
    std::vector<uint8_t> buf(4, 0);
    QCOMPARE(in(h, 9, 0, buf), 3);
    QCOMPARE(buf, (std::vector<uint8_t> {1, 2, 3, 4})); // never more than the buffer
    QCOMPARE(in(h, 9, 0, buf), 9999); // hostile counts pass as they are
    QCOMPARE(in(h, 9, 0, buf), -5);
    unsigned char d[256] = {};
    QCOMPARE(usb_get_descriptor(h, USB_DT_STRING, 3, d, 256), 6);
    QCOMPARE(d[2], uint8_t('X'));
    QCOMPARE(emu::scriptedRepliesLeft(), size_t(0));
    QCOMPARE(in(h, 9, 0, buf), 4); // the device answers again
    usb_close(h);
}

void TestEmulator::severalBussesInOrder()
{
    emu::DeviceConfig a;
    a.bus = 3;
    a.serial = "BUS3DEV01";
    emu::DeviceConfig b;
    b.bus = 2;
    b.serial = "BUS2DEV01";
    emu::DeviceConfig other;
    other.bus = 2;
    other.vendorId = 0x1234;
    const int ia = emu::addDevice(a);
    const int ib = emu::addDevice(b);
    emu::addDevice(other);
    QCOMPARE(emu::deviceCount(), size_t(4));
    usb_find_busses();
    usb_find_devices();
    QStringList seen;
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *d = bus->devices; d; d = d->next)
            seen << QString("%1:%2").arg(bus->dirname).arg(d->descriptor.idVendor, 0, 16);
    // The system library on a tmpfs /dev: newest bus and newest device
    // first, each bus's root hub last.
    QCOMPARE(seen,
        (QStringList {
            "002:1234", "002:16c0", "002:1d6b", "003:16c0", "003:1d6b", "001:16c0", "001:1d6b"}));
    emu::unplug(0);
    emu::unplug(ib);
    usb_find_devices();
    usb_bus *first = usb_get_busses();
    QCOMPARE(QString(first->dirname), QString("002"));
    QCOMPARE(first->devices->descriptor.idVendor, uint16_t(0x1234));
    usb_dev_handle *h = usb_open(first->next->devices);
    QCOMPARE(serialOf(h), std::string("BUS3DEV01"));
    QCOMPARE(emu::openHandles(ia), 1);
    usb_close(h);
}

void TestEmulator::generatedBallastDataMovesSlowly()
{
    usb_dev_handle *h = openFirst();
    std::vector<uint8_t> v1(864), v2(864), v3(864), r(1792);
    QCOMPARE(in(h, 10, 0, v1), 864);
    emu::advance(200);
    QCOMPARE(in(h, 10, 0, v2), 864);
    QVERIFY(v1 == v2); // unchanged within a second
    emu::advance(1000);
    QCOMPARE(in(h, 10, 0, v3), 864);
    QVERIFY(v3 != v1);
    QCOMPARE(v3[88 + 1], uint8_t(v1[88 + 1] + 1)); // the level of ballast 1 moved by one
    uint64_t initialised = 0;
    std::memcpy(&initialised, v1.data(), 8);
    QVERIFY(initialised != 0);
    QCOMPARE(in(h, 11, 0, r), 1792);
    for (int n = 0; n < 64; ++n) {
        const bool on = initialised >> n & 1;
        QCOMPARE(int(r[size_t(28 * n + 5)]), on ? n : 0xFF); // short address
    }
    usb_close(h);
}

void TestEmulator::resetKillsOldHandles()
{
    usb_dev_handle *h = openFirst();
    emu::failTransfer(5);
    emu::setTiming(emu::Timing::realistic());
    emu::advance(1000);
    emu::reset();
    std::vector<uint8_t> buf(4);
    QCOMPARE(in(h, 9, 0, buf), emu::errNoDevice);
    usb_close(h);
    emu::clearTransferLog();
    QCOMPARE(emu::nowMs(), uint64_t(0));
    QCOMPARE(emu::deviceCount(), size_t(1));
    h = openFirst();
    for (int i = 0; i < 6; ++i)
        QCOMPARE(in(h, 9, 0, buf), 4); // the old fault is gone
    QCOMPARE(emu::nowMs(), uint64_t(0));
    QCOMPARE(emu::transferLog().size(), size_t(6));
    usb_close(h);
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
