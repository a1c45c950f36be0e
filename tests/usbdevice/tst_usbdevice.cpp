// The transport against the emulated converter: the connect procedure and
// its trace, identity checks, implicit reconnects, the serial number.
#include "buspresence.h"
#include "delay.h"
#include "emulator.h"
#include "logcapture.h"
#include "usbmirel.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace emu = kelto::emu;
using kelto::test::LogCapture;

class TestUsbDevice : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void connectTrace();
    void noDeviceWritesOnlyConnect();
    void permissionDeniedIsToldApart_data();
    void permissionDeniedIsToldApart();
    void reconnectClosesTheOpenHandleFirst();
    void wrongIdentityIsClosed_data();
    void wrongIdentityIsClosed();
    void identityLogShowsOnlyReceivedBytes_data();
    void identityLogShowsOnlyReceivedBytes();
    void secondCandidateIsTaken_data();
    void secondCandidateIsTaken();
    void failedTransferClosesAndNextReconnects();
    void shortTransferKeepsDeviceOpen();
    void countsBeyondTheBufferAreNotBelieved_data();
    void countsBeyondTheBufferAreNotBelieved();
    void unpluggedDeviceIsPickedUpAgain();
    void sendLines_data();
    void sendLines();
    void receiveWithoutBufferIsRefused_data();
    void receiveWithoutBufferIsRefused();
    void disconnectWhenClosed();
    void destructorClosesOpenDevice_data();
    void destructorClosesOpenDevice();
    void serialNumberNeverConnects();
    void serialNumberFollowsMode();
    void serialNumberFromHostileDescriptor_data();
    void serialNumberFromHostileDescriptor();
    void goneOrRefusedByLooking_data();
    void goneOrRefusedByLooking();
    void sysfsSerialIsReadBounded_data();
    void sysfsSerialIsReadBounded();
};

void TestUsbDevice::init()
{
    emu::reset();
}

void TestUsbDevice::connectTrace()
{
    USBMIREL dev;
    LogCapture log;
    QCOMPARE(dev.connect(), 0);
    const QStringList l = log.lines();
    QCOMPARE(l.size(), 17);
    QCOMPARE(l[0], QString("USB Connect"));
    QVERIFY2(QRegularExpression("^bus:  0x[0-9a-f]+ $").match(l[1]).hasMatch(), qPrintable(l[1]));
    QVERIFY2(QRegularExpression("^bus->devices:  0x[0-9a-f]+ $").match(l[2]).hasMatch(),
        qPrintable(l[2]));
    const QStringList rest = l.mid(3);
    const QStringList expected = {
        "dev->descriptor.idVendor:  16c0 ",
        "dev->descriptor.idProduct:  78b ",
        "dev->descriptor.iSerialNumber:  3 ",
        "dev->descriptor.bMaxPacketSize0:  40 ",
        "usb_opened ",
        "usb_set_configuration ",
        "usb_claim_interface ",
        "USB Control Receive bRequest=255, wValue=0, wIndex=0, dataLength=2 - OK.",
        QString::fromUtf8("control_receivePrivate( 255 0 0 \xff 2 ) "),
        "\nzvid: ff",
        "\nUSB_SOPRA_ID: ff",
        "USB Control Receive bRequest=254, wValue=0, wIndex=0, dataLength=2 - OK.",
        "\nbrandid: 0",
        "\nAPP_BRAND_ID: 0",
    };
    QCOMPARE(rest, expected);
    QCOMPARE(emu::openHandles(), 1);
}

void TestUsbDevice::noDeviceWritesOnlyConnect()
{
    emu::removeAllDevices();
    USBMIREL dev;
    LogCapture log;
    unsigned char buf[4];
    // The root hub is all the library lists.
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), -1);
    const QStringList expected = log.lines();
    QCOMPARE(expected.size(), 8);
    QCOMPARE(expected.first(), QString("USB Connect"));
    QCOMPARE(expected[3], QString("dev->descriptor.idVendor:  1d6b "));
    QCOMPARE(expected.last(), QString("USB device 16c0:078b not found"));
    QVERIFY(emu::transferLog().empty());
    log.clear();
    QCOMPARE(dev.connect(), -1);
    QCOMPARE(log.lines(), expected);
}

void TestUsbDevice::permissionDeniedIsToldApart_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("failure");
    const QString rule = ": permission denied "
                         "(install the udev rule 70-kelto.rules, then plug the device in again)";
    const int noAccess = int(UsbDevice::ConnectFailure::NotAccessible);
    QTest::newRow("node opens read-only, configuring fails")
        << "read-only"
        << "USB device 16c0:078b found but cannot be opened" + rule << noAccess;
    // The system's library does not even list a node it cannot open: only
    // the kernel does.
    QTest::newRow("node does not open at all")
        << "no access"
        << "USB device 16c0:078b present but not accessible" + rule << noAccess;
    QTest::newRow("only the kernel lists it")
        << "sysfs only"
        << "USB device 16c0:078b present but not accessible" + rule << noAccess;
    QTest::newRow("interface claimed by another program")
        << "busy"
        << "USB device 16c0:078b found but in use by another program (its interface is claimed)"
        << int(UsbDevice::ConnectFailure::InUse);
    QTest::newRow("another unit than the one asked for")
        << "other serial"
        << "USB device 16c0:078b serial KT0000002 not found"
        << int(UsbDevice::ConnectFailure::NotFound);
    QTest::newRow("a unit in another port than the one asked for")
        << "other port"
        << "USB device 16c0:078b at port 1-3 not found" << int(UsbDevice::ConnectFailure::NotFound);
}

void TestUsbDevice::permissionDeniedIsToldApart()
{
    QFETCH(QString, fault);
    QFETCH(QString, line);
    QFETCH(int, failure);
    QTemporaryDir sysfs;
    const QString node = sysfs.filePath("bus/usb/devices/1-2");
    QVERIFY(QDir().mkpath(node));
    for (const auto &[name, value] : {std::pair {"idVendor", "16c0\n"}, {"idProduct", "078b\n"},
             {"busnum", "1\n"}, {"devnum", "7\n"}, {"serial", "KT0000001\n"}}) {
        QFile f(node + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(value) > 0);
    }
    kelto::setSysfsRoot(sysfs.path());
    emu::DeviceConfig c = emu::config();
    c.permissionDenied = fault == "read-only";
    c.noAccess = fault == "no access";
    c.failClaim = fault == "busy";
    emu::configure(c);
    if (fault == "sysfs only")
        emu::removeAllDevices();
    USBMIREL dev;
    if (fault == "other serial")
        dev.setSerial("KT0000002");
    if (fault == "other port")
        dev.setPort("1-3");
    LogCapture log;
    QCOMPARE(dev.connect(), -1);
    kelto::setSysfsRoot("/sys");
    QCOMPARE(log.lines().last(), line);
    QCOMPARE(int(dev.lastConnectFailure()), failure);
    QCOMPARE(emu::openHandles(), 0);
}

void TestUsbDevice::reconnectClosesTheOpenHandleFirst()
{
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    LogCapture log;
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(emu::openHandles(), 1); // the first handle was closed, not leaked
    QVERIFY(!log.lines().contains("USB Disconnect")); // closed without the release
    QCOMPARE(log.lines().first(), QString("USB Connect"));
}

void TestUsbDevice::wrongIdentityIsClosed_data()
{
    QTest::addColumn<int>("zvid");
    QTest::addColumn<int>("brand");
    QTest::addColumn<QString>("zvidLine");
    QTest::addColumn<bool>("brandChecked");
    QTest::newRow("zvid 0x00FE") << 0x00FE << 0 << "\nzvid: fe" << false;
    QTest::newRow("zvid 0xFFFF widens") << 0xFFFF << 0 << "\nzvid: ffffffff" << false;
    QTest::newRow("brand 0x0001") << 0x00FF << 1 << "\nzvid: ff" << true;
    QTest::newRow("brand 0x8000 widens") << 0x00FF << 0x8000 << "\nzvid: ff" << true;
}

void TestUsbDevice::wrongIdentityIsClosed()
{
    QFETCH(int, zvid);
    QFETCH(int, brand);
    QFETCH(QString, zvidLine);
    QFETCH(bool, brandChecked);
    emu::DeviceConfig c;
    c.zvid = uint16_t(zvid);
    c.brandId = uint16_t(brand);
    emu::configure(c);
    USBMIREL dev;
    LogCapture log;
    QCOMPARE(dev.connect(), -1);
    QCOMPARE(emu::openHandles(), 0);
    const QStringList l = log.lines();
    QVERIFY(l.contains(zvidLine));
    QVERIFY(l.indexOf("USB Disconnect") > l.indexOf(zvidLine));
    QCOMPARE(l.count("USB Disconnect"), 1);
    QCOMPARE(emu::transferLog(254).size(), size_t(brandChecked ? 1 : 0));
    if (brandChecked)
        QVERIFY(l.contains(QString("\nbrandid: %1").arg(unsigned(int(int16_t(brand))), 0, 16)));

    // Nothing stays open: the next transfer runs a fresh connect procedure.
    log.clear();
    uint32_t word = 0;
    QCOMPARE(dev.StatusGet(word), -1);
    QCOMPARE(log.lines().first(), QString("USB Connect"));
    QCOMPARE(emu::transferLog(255).size(), size_t(2));
    QVERIFY(emu::transferLog(9).empty());
}

void TestUsbDevice::identityLogShowsOnlyReceivedBytes_data()
{
    QTest::addColumn<int>("received");
    QTest::addColumn<QString>("line");
    QTest::newRow("both bytes") << 2 << "control_receivePrivate( 255 0 0 AB 2 ) ";
    QTest::newRow("one byte") << 1 << "control_receivePrivate( 255 0 0 A 2 ) ";
    QTest::newRow("none") << 0 << "control_receivePrivate( 255 0 0  2 ) ";
}

void TestUsbDevice::identityLogShowsOnlyReceivedBytes()
{
    QFETCH(int, received);
    QFETCH(QString, line);
    emu::DeviceConfig c;
    c.zvid = 0x4241; // "AB" on the wire, no terminating zero
    emu::configure(c);
    if (received < 2)
        emu::shortTransfer(1, received, 255);
    USBMIREL dev;
    LogCapture log;
    QCOMPARE(dev.connect(), -1);
    QVERIFY2(log.lines().contains(line), qPrintable(log.lines().join('|')));
    // A short identity reply is not an identity: the device is closed
    // before any value is compared.
    QCOMPARE(log.linesStartingWith("\nzvid").isEmpty(), received < 2);
    QCOMPARE(emu::openHandles(), 0);
}

void TestUsbDevice::secondCandidateIsTaken_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("firstDeviceTransfers");
    QTest::newRow("claim fails") << "claim" << 0;
    QTest::newRow("open fails") << "open" << 0;
    QTest::newRow("set configuration fails") << "config" << 0;
    QTest::newRow("wrong vendor") << "vendor" << 0;
    QTest::newRow("wrong product") << "product" << 0;
    QTest::newRow("wrong zvid") << "zvid" << 1;
    QTest::newRow("wrong brand") << "brand" << 2;
    QTest::newRow("short identity") << "short" << 1;
    QTest::newRow("identity stalls") << "stall" << 1;
}

void TestUsbDevice::secondCandidateIsTaken()
{
    QFETCH(QString, fault);
    QFETCH(int, firstDeviceTransfers);
    emu::DeviceConfig c;
    c.failClaim = fault == "claim";
    c.failOpen = fault == "open";
    c.failSetConfiguration = fault == "config";
    if (fault == "vendor")
        c.vendorId = 0x16C1;
    if (fault == "product")
        c.productId = 0x078C;
    if (fault == "zvid")
        c.zvid = 0x00FE;
    if (fault == "brand")
        c.brandId = 0x0002;
    emu::configure(c);
    if (fault == "short")
        emu::shortTransfer(1, 1, 255);
    if (fault == "stall")
        emu::failTransfer(1, 255);
    emu::DeviceConfig second;
    second.serial = "KT0000002";
    const int id = emu::addDevice(second);
    // Plugged in again, the faulty one is the newest: the library lists it
    // first.
    emu::unplug(0);
    emu::plug(0);

    USBMIREL dev;
    LogCapture log;
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(emu::openHandles(0), 0);
    QCOMPARE(emu::openHandles(id), 1);
    QCOMPARE(log.linesStartingWith("dev->descriptor.idVendor").size(), 2);
    int first = 0;
    for (const auto &r : emu::transferLog())
        first += r.device == 0;
    QCOMPARE(first, firstDeviceTransfers);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000002"));
}

void TestUsbDevice::failedTransferClosesAndNextReconnects()
{
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::failTransfer(1, 9);
    LogCapture log;
    unsigned char buf[4];
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), -1);
    QCOMPARE(log.lines(),
        (QStringList {"USB Control Receive bRequest=9, wValue=0, wIndex=0, dataLength=4 - ERROR.",
            "USB Disconnect"}));
    QCOMPARE(emu::openHandles(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray()); // closed now

    log.clear();
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), 4);
    QCOMPARE(log.lines().first(), QString("USB Connect"));
    QCOMPARE(log.lines().last(),
        QString("USB Control Receive bRequest=9, wValue=0, wIndex=0, dataLength=4 - OK."));
    QCOMPARE(emu::openHandles(), 1);

    // The same for a send.
    emu::failTransfer(1, 7);
    unsigned char mask[4] = {1, 0, 0, 0};
    QCOMPARE(dev.control_send(7, 0, 0, mask, 4), -1);
    QCOMPARE(emu::openHandles(), 0);
    QCOMPARE(dev.control_send(7, 0, 0, mask, 4), 4);
    QCOMPARE(emu::statusWord(), 1u);
}

void TestUsbDevice::shortTransferKeepsDeviceOpen()
{
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::shortTransfer(1, 3, 9);
    LogCapture log;
    unsigned char buf[4];
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), 3);
    QCOMPARE(log.lines(),
        QStringList {"USB Control Receive bRequest=9, wValue=0, wIndex=0, dataLength=4 - OK."});
    QCOMPARE(emu::openHandles(), 1);
}

void TestUsbDevice::countsBeyondTheBufferAreNotBelieved_data()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<int>("reported");
    QTest::addColumn<int>("result");
    QTest::newRow("receive 9999 of 4") << false << 9999 << 4;
    QTest::newRow("receive 5 of 4") << false << 5 << 4;
    QTest::newRow("receive 4 of 4") << false << 4 << 4;
    QTest::newRow("receive 3 of 4") << false << 3 << 3;
    QTest::newRow("send 9999 of 4") << true << 9999 << 4;
    QTest::newRow("negative other than -1") << false << -71 << -1;
}

void TestUsbDevice::countsBeyondTheBufferAreNotBelieved()
{
    QFETCH(bool, send);
    QFETCH(int, reported);
    QFETCH(int, result);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::scriptReplies({{reported, {1, 2, 3, 4, 5, 6}}});
    unsigned char buf[8] = {};
    const int got = send ? dev.control_send(7, 0, 0, buf, 4) : dev.control_receive(9, 0, 0, buf, 4);
    QCOMPARE(got, result);
    QCOMPARE(int(buf[4]), 0); // nothing lands past the four bytes asked for
}

void TestUsbDevice::unpluggedDeviceIsPickedUpAgain()
{
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::unplug();
    unsigned char buf[4];
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), -1);
    QCOMPARE(emu::transferLog().back().lengthReturned, emu::errNoDevice);
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), -1); // still away: connect fails
    emu::plug();
    QCOMPARE(dev.control_receive(9, 0, 0, buf, 4), 4);
    QCOMPARE(emu::openHandles(), 1);
}

void TestUsbDevice::sendLines_data()
{
    QTest::addColumn<bool>("withBuffer");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("lengthOnWire");
    QTest::addColumn<QString>("line");
    QTest::newRow("data")
        << true << 512 << 512 << 512
        << "USB Control Send bRequest=2, wValue=0, wIndex=0, dataLength=512 - OK.";
    QTest::newRow("null buffer keeps dataLength")
        << false << 5 << 0 << 0
        << "USB Control Send bRequest=2, wValue=0, wIndex=0, dataLength=5 - OK.";
    QTest::newRow("no data") << true << 0 << 0 << 0
                             << "USB Control Send bRequest=2, wValue=0, wIndex=0 - OK.";
}

void TestUsbDevice::sendLines()
{
    QFETCH(bool, withBuffer);
    QFETCH(int, length);
    QFETCH(int, result);
    QFETCH(int, lengthOnWire);
    QFETCH(QString, line);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::clearTransferLog();
    LogCapture log;
    unsigned char data[512] = {};
    QCOMPARE(dev.control_send(2, 0, 0, withBuffer ? data : nullptr, length), result);
    QCOMPARE(log.lines(), (QStringList {"UsbDevice::control_send()", line}));
    const auto sent = emu::transferLog();
    QCOMPARE(sent.size(), size_t(1));
    QCOMPARE(sent[0].lengthAsked, lengthOnWire);
    QCOMPARE(sent[0].requestType, uint8_t(0x40));
}

void TestUsbDevice::receiveWithoutBufferIsRefused_data()
{
    QTest::addColumn<bool>("withBuffer");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("line");
    QTest::newRow("zero length") << true << 0
                                 << "USB Control Receive bRequest=11, wValue=0, wIndex=0 - ERROR.";
    QTest::newRow("null buffer")
        << false << 4
        << "USB Control Receive bRequest=11, wValue=0, wIndex=0, dataLength=4 - ERROR.";
}

void TestUsbDevice::receiveWithoutBufferIsRefused()
{
    QFETCH(bool, withBuffer);
    QFETCH(int, length);
    QFETCH(QString, line);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::clearTransferLog();
    LogCapture log;
    unsigned char buf[4];
    QCOMPARE(dev.control_receive(11, 0, 0, withBuffer ? buf : nullptr, length), -1);
    QCOMPARE(log.lines(), (QStringList {line, "USB Disconnect"}));
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(emu::openHandles(), 0);
}

void TestUsbDevice::disconnectWhenClosed()
{
    USBMIREL dev;
    LogCapture log;
    dev.disconnect();
    QCOMPARE(log.lines(), QStringList {"USB Disconnect"});
    QVERIFY(emu::transferLog().empty());
}

void TestUsbDevice::destructorClosesOpenDevice_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("open") << true << QStringList {"UsbDevice destructor", "USB Disconnect"};
    QTest::newRow("closed") << false << QStringList {"UsbDevice destructor"};
}

void TestUsbDevice::destructorClosesOpenDevice()
{
    QFETCH(bool, open);
    QFETCH(QStringList, lines);
    auto dev = std::make_unique<USBMIREL>();
    if (open)
        QCOMPARE(dev->connect(), 0);
    LogCapture log;
    dev.reset();
    QCOMPARE(log.lines(), lines);
    QCOMPARE(emu::openHandles(), 0);
}

void TestUsbDevice::serialNumberNeverConnects()
{
    LogCapture log;
    USBMIREL dev;
    QCOMPARE(log.lines(), QStringList {"USBMIREL constructor "});
    QCOMPARE(dev.serialNumber(), QByteArray());
    QCOMPARE(log.lines().size(), 1);
    QVERIFY(emu::transferLog().empty());
}

void TestUsbDevice::serialNumberFollowsMode()
{
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000001"));
    emu::setMode(emu::Mode::Bootloader);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000001b"));
    const auto log = emu::transferLog();
    QCOMPARE(log.back().requestType, uint8_t(0x80));
    QCOMPARE(log.back().value, uint16_t(0x0303));
    QCOMPARE(log.back().lengthAsked, 256);
}

void TestUsbDevice::serialNumberFromHostileDescriptor_data()
{
    QTest::addColumn<QByteArray>("descriptor");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("serial");
    QTest::newRow("well formed") << QByteArray("\x08\x03K\0T\0X\0", 8) << 0 << QByteArray("KTX");
    QTest::newRow("odd count drops half unit")
        << QByteArray("\x07\x03K\0T\0X", 7) << 0 << QByteArray("KT");
    QTest::newRow("length field too large")
        << QByteArray("\xff\x03K\0T\0", 6) << 0 << QByteArray("KT");
    QTest::newRow("length field zero") << QByteArray("\x00\x03K\0T\0", 6) << 0 << QByteArray("KT");
    QTest::newRow("header only") << QByteArray("\x02\x03", 2) << 0 << QByteArray();
    QTest::newRow("one byte") << QByteArray("\x02", 1) << 0 << QByteArray();
    QTest::newRow("stops at zero unit")
        << QByteArray("\x0a\x03K\0\0\0T\0", 8) << 0 << QByteArray("K");
    QTest::newRow("high byte dropped")
        << QByteArray("\x06\x03\x41\x04\x42\0", 6) << 0 << QByteArray("AB");
    QTest::newRow("more than the buffer") << QByteArray(300, 'Z') << 0 << QByteArray(127, 'Z');
    // The 256-byte buffer: its whole, one byte short, one byte over.
    QTest::newRow("exactly the buffer") << QByteArray(256, 'Z') << 0 << QByteArray(127, 'Z');
    QTest::newRow("one byte short of the buffer")
        << QByteArray(255, 'Z') << 0 << QByteArray(126, 'Z');
    QTest::newRow("one byte over the buffer") << QByteArray(257, 'Z') << 0 << QByteArray(127, 'Z');
    QTest::newRow("read fails") << QByteArray() << emu::errStall << QByteArray();
}

void TestUsbDevice::serialNumberFromHostileDescriptor()
{
    QFETCH(QByteArray, descriptor);
    QFETCH(int, error);
    QFETCH(QByteArray, serial);
    emu::DeviceConfig c;
    c.serialDescriptor.assign(descriptor.begin(), descriptor.end());
    c.serialDescriptorError = error;
    emu::configure(c);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), serial);
    QCOMPARE(emu::openHandles(), 1); // a bad descriptor does not close the device
}

namespace {
// The device's sysfs entry, removed once the waits reach leaveAtMs.
QString entry;
unsigned long waitedMs = 0, leaveAtMs = 0;
void waitAndMaybeLeave(unsigned long ms)
{
    waitedMs += ms;
    if (waitedMs >= leaveAtMs)
        QDir(entry).removeRecursively();
}
} // namespace

void TestUsbDevice::goneOrRefusedByLooking_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("seenAtOpen"); // sysfs showed it when opened
    QTest::addColumn<int>("leavesAfterMs"); // -1: stays listed
    QTest::addColumn<int>("expected");
    const int gone = int(UsbDevice::LinkError::Gone), refused = int(UsbDevice::LinkError::Refused);
    // Whatever the library makes of a vanished device, an entry gone is gone.
    for (int e : {ENODEV, ENXIO, ESHUTDOWN, EPROTO, EIO, EPIPE})
        QTest::addRow("errno %d, entry already gone", e) << -e << true << 0 << gone;
    // The transfer fails before the kernel has noticed the unplug.
    QTest::newRow("EPROTO, entry goes 50 ms later") << -EPROTO << true << 50 << gone;
    QTest::newRow("ENXIO, entry goes 200 ms later") << -ENXIO << true << 200 << gone;
    QTest::newRow("EIO, still listed") << -EIO << true << -1 << refused;
    QTest::newRow("stall, still listed") << -EPIPE << true << -1 << refused;
    QTest::newRow("timeout, still listed")
        << -ETIMEDOUT << true << -1 << int(UsbDevice::LinkError::Timeout);
    // Where sysfs never showed it, the code decides.
    QTest::newRow("no sysfs, ENXIO") << -ENXIO << false << -1 << gone;
    QTest::newRow("no sysfs, EPROTO") << -EPROTO << false << -1 << refused;
}

void TestUsbDevice::goneOrRefusedByLooking()
{
    QFETCH(int, result);
    QFETCH(bool, seenAtOpen);
    QFETCH(int, leavesAfterMs);
    QFETCH(int, expected);
    QTemporaryDir sysfs;
    entry = sysfs.filePath("bus/usb/devices/1-2");
    QVERIFY(QDir().mkpath(entry));
    for (const auto &[name, value] : {std::pair {"idVendor", "16c0\n"}, {"idProduct", "078b\n"},
             {"busnum", "1\n"}, {"devnum", "7\n"}}) {
        QFile f(entry + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(value) > 0);
    }
    waitedMs = 0;
    leaveAtMs = leavesAfterMs < 0 ? ~0UL : unsigned(leavesAfterMs);
    waitAndMaybeLeave(0);
    kelto::setSleepFunction(waitAndMaybeLeave);
    const auto why = kelto::judgeFailure(result, {1, 7, seenAtOpen}, sysfs.path(), 0x16c0, 0x078b);
    kelto::setSleepFunction(nullptr);
    QCOMPARE(int(why), expected);
}

void TestUsbDevice::sysfsSerialIsReadBounded_data()
{
    // The attribute as the kernel (or anything posing as sysfs) holds it; at
    // most 256 bytes of it are read, its line end trimmed.
    QTest::addColumn<QByteArray>("attribute");
    QTest::addColumn<QByteArray>("serial");
    QTest::newRow("255 bytes and the line end") << QByteArray(255, 'S') + '\n'
                                                << QByteArray(255, 'S');
    QTest::newRow("256 bytes") << QByteArray(256, 'S') << QByteArray(256, 'S');
    QTest::newRow("257 bytes") << QByteArray(257, 'S') << QByteArray(256, 'S');
}

void TestUsbDevice::sysfsSerialIsReadBounded()
{
    QFETCH(QByteArray, attribute);
    QFETCH(QByteArray, serial);
    QTemporaryDir sysfs;
    const QString node = sysfs.filePath("bus/usb/devices/1-2");
    QVERIFY(QDir().mkpath(node));
    for (const auto &[name, value] :
        {std::pair {"idVendor", QByteArray("16c0\n")}, {"idProduct", QByteArray("078b\n")},
            {"busnum", QByteArray("1\n")}, {"devnum", QByteArray("7\n")}, {"serial", attribute}}) {
        QFile f(node + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(value) == value.size());
    }
    kelto::setSysfsRoot(sysfs.path());
    emu::removeAllDevices();
    USBMIREL dev;
    const QList<UsbDevice::Presence> found = dev.survey(false);
    kelto::setSysfsRoot("/sys");
    QCOMPARE(found.size(), 1);
    QCOMPARE(found[0].serial, serial);
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usbdevice.moc"
