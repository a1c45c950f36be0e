// The typed requests against the emulated converter: chunking, addresses on
// the wire, the image encoding per chunk, the external flash retry budget
// and its progress values, and the exact-count rules.
#include "delay.h"
#include "emulator.h"
#include "imagecodec.h"
#include "logcapture.h"
#include "usbmirel.h"

#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <vector>

namespace emu = kelto::emu;

Q_DECLARE_METATYPE(emu::Fault)
using kelto::test::LogCapture;

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t(seed >> 16);
    }
    return v;
}

QList<int> values(const QSignalSpy &spy)
{
    QList<int> out;
    for (const auto &args : spy)
        out << args.at(0).toInt();
    return out;
}

} // namespace

class TestUsbMirel : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void readMemoryChunks_data();
    void readMemoryChunks();
    void readMemoryDecodesEachChunkOnItsOwn_data();
    void readMemoryDecodesEachChunkOnItsOwn();
    void readMemoryStopsAtShortChunk();
    void writePageLeavesBufferEncoded();
    void writePageRoundTrip();
    void writePageRefusedOutsideBootloader();
    void externalFlashProgress_data();
    void externalFlashProgress();
    void externalFlashRetryBudget_data();
    void externalFlashRetryBudget();
    void externalRetriesEndWhenHopeless_data();
    void externalRetriesEndWhenHopeless();
    void zeroLengthSendsNothing_data();
    void zeroLengthSendsNothing();
    void statusWord();
    void statusGetKeepsWordOnShortReply_data();
    void statusGetKeepsWordOnShortReply();
    void ballastData();
    void ballastReadsNeedExactCounts_data();
    void ballastReadsNeedExactCounts();
    void runApplicationRestartsDevice();
    void programWaitsLetTheDeviceReenumerate();
};

void TestUsbMirel::init()
{
    emu::reset();
}

void TestUsbMirel::readMemoryChunks_data()
{
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<uint32_t>("length");
    QTest::addColumn<QList<int>>("chunks");
    QTest::addColumn<QList<int>>("wValues");
    QTest::addColumn<QList<int>>("wIndexes");
    QTest::newRow("5000 bytes") << 0x08004000u << 5000u << QList<int> {2048, 2048, 904}
                                << QList<int> {0x4000, 0x4800, 0x5000}
                                << QList<int> {0x0800, 0x0800, 0x0800};
    QTest::newRow("2050 bytes") << 0x08004000u << 2050u << QList<int> {2048, 2}
                                << QList<int> {0x4000, 0x4800} << QList<int> {0x0800, 0x0800};
    QTest::newRow("crosses a 64 KiB boundary")
        << 0x0800F800u << 4096u << QList<int> {2048, 2048} << QList<int> {0xF800, 0x0000}
        << QList<int> {0x0800, 0x0801};
    QTest::newRow("version block")
        << 0x08003FD0u << 32u << QList<int> {32} << QList<int> {0x3FD0} << QList<int> {0x0800};
}

void TestUsbMirel::readMemoryChunks()
{
    QFETCH(uint32_t, address);
    QFETCH(uint32_t, length);
    QFETCH(QList<int>, chunks);
    QFETCH(QList<int>, wValues);
    QFETCH(QList<int>, wIndexes);
    USBMIREL dev;
    std::vector<uint8_t> buf(length);
    QCOMPARE(dev.ReadMemory(buf.data(), address, length), 0);
    const auto reads = emu::transferLog(1);
    QCOMPARE(int(reads.size()), chunks.size());
    for (int i = 0; i < chunks.size(); ++i) {
        QCOMPARE(reads[size_t(i)].lengthAsked, chunks[i]);
        QCOMPARE(int(reads[size_t(i)].value), wValues[i]);
        QCOMPARE(int(reads[size_t(i)].index), wIndexes[i]);
        QCOMPARE(reads[size_t(i)].requestType, uint8_t(0xC0));
    }
    // The plain flash contents arrive, whatever the chunking.
    const auto flash = emu::flash();
    QVERIFY(std::memcmp(buf.data(), flash.data() + (address - emu::flashBase), length) == 0);
}

void TestUsbMirel::readMemoryDecodesEachChunkOnItsOwn_data()
{
    QTest::addColumn<uint32_t>("length");
    QTest::addColumn<int>("lastChunk");
    QTest::newRow("5000: 904-byte tail decoded") << 5000u << 904;
    QTest::newRow("2050: 2-byte tail left alone") << 2050u << 2;
    QTest::newRow("2051: 3-byte tail left alone") << 2051u << 3;
    QTest::newRow("2053: one word and a byte") << 2053u << 5;
}

void TestUsbMirel::readMemoryDecodesEachChunkOnItsOwn()
{
    QFETCH(uint32_t, length);
    QFETCH(int, lastChunk);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    // Zero bytes on the wire for every chunk: the decoded result shows
    // where the key position restarted.
    std::vector<emu::ScriptedReply> replies;
    for (uint32_t left = length; left;) {
        const uint32_t c = std::min(left, 2048u);
        replies.push_back({int(c), std::vector<uint8_t>(c, 0)});
        left -= c;
    }
    emu::scriptReplies(replies);
    std::vector<uint8_t> buf(length, 0xEE);
    QCOMPARE(dev.ReadMemory(buf.data(), 0x08004000, length), 0);

    std::vector<uint8_t> page(2048, 0);
    decodeImage(page.data(), 2048);
    QVERIFY(std::memcmp(buf.data(), page.data(), 2048) == 0);
    const uint8_t *tail = buf.data() + (length - uint32_t(lastChunk));
    std::vector<uint8_t> expected(size_t(lastChunk), 0);
    decodeImage(expected.data(), uint32_t(lastChunk));
    QVERIFY(std::memcmp(tail, expected.data(), size_t(lastChunk)) == 0);
    // Trailing bytes past the last whole word come through as received.
    for (int i = lastChunk / 4 * 4; i < lastChunk; ++i)
        QCOMPARE(int(tail[i]), 0);
}

void TestUsbMirel::readMemoryStopsAtShortChunk()
{
    USBMIREL dev;
    emu::shortTransfer(2, 100, 1);
    std::vector<uint8_t> buf(5000, 0xEE);
    QCOMPARE(dev.ReadMemory(buf.data(), 0x08004000, 5000), -1);
    QCOMPARE(emu::transferLog(1).size(), size_t(2)); // no retry, no third chunk
    const auto flash = emu::flash();
    // The chunk read before the failure stays decoded in the buffer.
    QVERIFY(std::memcmp(buf.data(), flash.data() + 0x4000, 2048) == 0);
    QCOMPARE(int(buf[4096]), 0xEE);
    QCOMPARE(emu::openHandles(), 1); // a short read does not close the device
}

void TestUsbMirel::writePageLeavesBufferEncoded()
{
    emu::setMode(emu::Mode::Bootloader);
    USBMIREL dev;
    std::vector<uint8_t> page(2048, 0);
    QCOMPARE(dev.WritePage(page.data(), 0x08004800), 0);
    for (int i = 0; i < 512; ++i) {
        uint32_t w;
        std::memcpy(&w, &page[size_t(4 * i)], 4);
        QCOMPARE(w, imageKey[i % 32] * 2u);
    }
    const auto writes = emu::transferLog(3);
    QCOMPARE(writes.size(), size_t(1));
    QCOMPARE(writes[0].value, uint16_t(0x4800));
    QCOMPARE(writes[0].index, uint16_t(0x0800));
    QCOMPARE(writes[0].lengthAsked, 2048);
    // The device stores the page decoded.
    const auto flash = emu::flash();
    QVERIFY(std::all_of(
        flash.begin() + 0x4800, flash.begin() + 0x5000, [](uint8_t b) { return b == 0; }));
}

void TestUsbMirel::writePageRoundTrip()
{
    emu::setMode(emu::Mode::Bootloader);
    USBMIREL dev;
    const auto plain = pattern(2048, 7);
    auto page = plain;
    QCOMPARE(dev.WritePage(page.data(), 0x0803F800), 0);
    QVERIFY(page != plain);
    std::vector<uint8_t> back(2048);
    QCOMPARE(dev.ReadMemory(back.data(), 0x0803F800, 2048), 0);
    QVERIFY(back == plain);
}

void TestUsbMirel::writePageRefusedOutsideBootloader()
{
    USBMIREL dev;
    const auto before = emu::flash();
    std::vector<uint8_t> page(2048, 0x11);
    QCOMPARE(dev.WritePage(page.data(), 0x08004000), -1); // application mode stalls it
    emu::setMode(emu::Mode::Bootloader);
    page.assign(2048, 0x11);
    QCOMPARE(dev.WritePage(page.data(), 0x08003800), -1); // the bootloader's own area
    page.assign(2048, 0x11);
    QCOMPARE(dev.WritePage(page.data(), 0x08040000), -1); // past the application
    page.assign(2048, 0x11);
    QCOMPARE(dev.WritePage(page.data(), 0x08004400), -1); // not on a page boundary
    QVERIFY(emu::flash() == before);
    QVERIFY(emu::applicationValid());
}

void TestUsbMirel::externalFlashProgress_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<uint32_t>("length");
    QTest::addColumn<int>("chunkSize");
    QTest::newRow("write 81920") << true << 81920u << 256;
    QTest::newRow("read 81920") << false << 81920u << 512;
    QTest::newRow("read 1024") << false << 1024u << 512;
    QTest::newRow("write 1000") << true << 1000u << 256;
    QTest::newRow("read 1") << false << 1u << 512;
}

void TestUsbMirel::externalFlashProgress()
{
    QFETCH(bool, write);
    QFETCH(uint32_t, length);
    QFETCH(int, chunkSize);
    USBMIREL dev;
    QSignalSpy spy(
        &dev, write ? &USBMIREL::sendPercentExtFlashWrite : &USBMIREL::sendPercentExtFlashRead);
    QSignalSpy other(
        &dev, write ? &USBMIREL::sendPercentExtFlashRead : &USBMIREL::sendPercentExtFlashWrite);
    const auto data = pattern(length, 3);
    if (!write)
        emu::writeExternalFlash(0x1000, data);
    auto buf = write ? data : std::vector<uint8_t>(length);
    QCOMPARE(write ? dev.WriteExternalFlash(buf.data(), 0x1000, length)
                   : dev.ReadExternalFlash(buf.data(), 0x1000, length),
        0);

    const int chunks = int((length + uint32_t(chunkSize) - 1) / uint32_t(chunkSize));
    QList<int> expected;
    for (int k = 1; k <= chunks; ++k) {
        const uint32_t done = std::min(length, uint32_t(k * chunkSize));
        expected << int(done * 100u / length);
    }
    QCOMPARE(values(spy), expected);
    QCOMPARE(other.size(), 0);
    if (length == 81920 && write) {
        QCOMPARE(spy.size(), 320);
        QCOMPARE(values(spy).mid(0, 4), (QList<int> {0, 0, 0, 1}));
    }
    if (length == 1024)
        QCOMPARE(values(spy), (QList<int> {50, 100}));
    QCOMPARE(values(spy).last(), 100);

    // Plain on the wire, in place at the address.
    const auto ext = emu::externalFlash();
    QVERIFY(std::equal(data.begin(), data.end(), ext.begin() + 0x1000));
    QVERIFY(buf == data);
    const auto log = emu::transferLog(write ? 6 : 5);
    QCOMPARE(int(log.size()), chunks);
    QCOMPARE(log[1 % log.size()].value, uint16_t(chunks > 1 ? 0x1000 + chunkSize : 0x1000));
}

void TestUsbMirel::externalFlashRetryBudget_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<QList<int>>("failuresAtChunk"); // pairs: nth matching transfer, count
    QTest::addColumn<bool>("error"); // Error (closes) or Short (keeps open)
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("chunksDone");
    QTest::newRow("read: 100 on one chunk") << false << QList<int> {1, 100} << false << 0 << 4;
    QTest::newRow("read: 101 on one chunk") << false << QList<int> {1, 101} << false << -1 << 0;
    QTest::newRow("write: 100 spread") << true << QList<int> {2, 60, 63, 40} << false << 0 << 8;
    QTest::newRow("write: 101 spread") << true << QList<int> {2, 60, 63, 41} << false << -1 << 2;
    QTest::newRow("write: 100 errors") << true << QList<int> {3, 100} << true << 0 << 8;
    QTest::newRow("read: 101 errors") << false << QList<int> {1, 101} << true << -1 << 0;
}

void TestUsbMirel::externalFlashRetryBudget()
{
    QFETCH(bool, write);
    QFETCH(QList<int>, failuresAtChunk);
    QFETCH(bool, error);
    QFETCH(int, result);
    QFETCH(int, chunksDone);
    int failures = 0;
    for (int i = 0; i < failuresAtChunk.size(); i += 2) {
        emu::Fault f;
        f.kind = error ? emu::FaultKind::Error : emu::FaultKind::Short;
        f.shortCount = 10;
        f.request = write ? 6 : 5;
        f.nth = unsigned(failuresAtChunk[i]);
        f.count = unsigned(failuresAtChunk[i + 1]);
        emu::injectFault(f);
        failures += failuresAtChunk[i + 1];
    }
    USBMIREL dev;
    QSignalSpy spy(
        &dev, write ? &USBMIREL::sendPercentExtFlashWrite : &USBMIREL::sendPercentExtFlashRead);
    const auto data = pattern(2048, 9);
    if (!write)
        emu::writeExternalFlash(0, data);
    auto buf = write ? data : std::vector<uint8_t>(2048);
    QCOMPARE(write ? dev.WriteExternalFlash(buf.data(), 0, 2048)
                   : dev.ReadExternalFlash(buf.data(), 0, 2048),
        result);
    const int chunks = write ? 8 : 4;
    const auto log = emu::transferLog(write ? 6 : 5);
    if (result == 0) {
        QCOMPARE(int(log.size()), chunks + failures);
        QCOMPARE(spy.size(), chunks);
        QVERIFY(buf == data);
        const auto ext = emu::externalFlash();
        QVERIFY(std::equal(data.begin(), data.end(), ext.begin()));
    } else {
        QCOMPARE(int(log.size()), chunksDone + 101); // the 101st failure ends the call
    }
    QCOMPARE(spy.size(), chunksDone); // progress only for the chunks done
    // A retry repeats the same chunk: the addresses never skip ahead.
    uint32_t expectedAddress = 0;
    for (const auto &r : log) {
        QCOMPARE(uint32_t(r.value), expectedAddress);
        if (r.lengthReturned == r.lengthAsked)
            expectedAddress += uint32_t(r.lengthAsked);
    }
}

void TestUsbMirel::externalRetriesEndWhenHopeless_data()
{
    QTest::addColumn<emu::Fault>("f");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("transfers"); // of request 5
    QTest::addColumn<int>("failures");
    QTest::addColumn<QString>("lastLine");
    emu::Fault gone;
    gone.kind = emu::FaultKind::DropOff;
    gone.request = 5;
    QTest::newRow("device left the bus, back at once")
        << gone << -1 << 1 << 1 << "External flash read at 0x0 failed (device gone): giving up";
    emu::Fault timeouts;
    timeouts.request = 5;
    timeouts.error = emu::errTimeout;
    timeouts.count = 2;
    QTest::newRow("two timeouts absorbed")
        << timeouts << 0 << 4 << 2 << "External flash read at 0x0 failed (timeout): retry, 98 left";
    timeouts.count = 1000;
    QTest::newRow("never answers")
        << timeouts << -1 << 3 << 3 << "External flash read at 0x0 failed (timeout): giving up";
}

void TestUsbMirel::externalRetriesEndWhenHopeless()
{
    QFETCH(emu::Fault, f);
    QFETCH(int, result);
    QFETCH(int, transfers);
    QFETCH(int, failures);
    QFETCH(QString, lastLine);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::injectFault(f);
    LogCapture log;
    std::vector<uint8_t> buf(1024);
    QCOMPARE(dev.ReadExternalFlash(buf.data(), 0, 1024), result);
    QCOMPARE(int(emu::transferLog(5).size()), transfers);
    QStringList retries = log.lines().filter("External flash read at");
    QCOMPARE(retries.size(), failures);
    QCOMPARE(retries.last(), lastLine);
    // Each timeout costs the transfer timeout, nothing else waits.
    QCOMPARE(emu::nowMs(), uint64_t(f.error == emu::errTimeout ? 2000 * failures : 0));
}

void TestUsbMirel::zeroLengthSendsNothing_data()
{
    QTest::addColumn<int>("op");
    QTest::newRow("ReadMemory") << 0;
    QTest::newRow("ReadExternalFlash") << 1;
    QTest::newRow("WriteExternalFlash") << 2;
}

void TestUsbMirel::zeroLengthSendsNothing()
{
    QFETCH(int, op);
    USBMIREL dev;
    QSignalSpy r(&dev, &USBMIREL::sendPercentExtFlashRead);
    QSignalSpy w(&dev, &USBMIREL::sendPercentExtFlashWrite);
    LogCapture log;
    unsigned char buf[1] = {};
    const int res = op == 0 ? dev.ReadMemory(buf, 0x08004000, 0)
        : op == 1           ? dev.ReadExternalFlash(buf, 0, 0)
                            : dev.WriteExternalFlash(buf, 0, 0);
    QCOMPARE(res, 0);
    QVERIFY(emu::transferLog().empty());
    QVERIFY(log.lines().isEmpty()); // not even a connect
    QCOMPARE(r.size() + w.size(), 0);
}

void TestUsbMirel::statusWord()
{
    USBMIREL dev;
    QCOMPARE(dev.StatusSet(0x80000005u), 0);
    QCOMPARE(emu::statusWord(), 0x80000005u);
    QCOMPARE(dev.StatusClr(0x00000004u), 0);
    QCOMPARE(emu::statusWord(), 0x80000001u);
    emu::setStatusWord(0x12345678u);
    uint32_t word = 0;
    QCOMPARE(dev.StatusGet(word), 0);
    QCOMPARE(word, 0x12345678u);
    const auto sets = emu::transferLog(7);
    QCOMPARE(sets.size(), size_t(1));
    QCOMPARE(sets[0].lengthAsked, 4);
    QCOMPARE(sets[0].value, uint16_t(0));
}

void TestUsbMirel::statusGetKeepsWordOnShortReply_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<int>("count");
    QTest::newRow("3 bytes") << false << 3;
    QTest::newRow("0 bytes") << false << 0;
    QTest::newRow("stall") << true << 0;
}

void TestUsbMirel::statusGetKeepsWordOnShortReply()
{
    QFETCH(bool, error);
    QFETCH(int, count);
    emu::setStatusWord(0x0000FFFFu);
    if (error)
        emu::failTransfer(1, 9);
    else
        emu::shortTransfer(1, count, 9);
    USBMIREL dev;
    uint32_t word = 0xDEADBEEFu;
    QCOMPARE(dev.StatusGet(word), -1);
    QCOMPARE(word, 0xDEADBEEFu);
    QCOMPARE(dev.StatusGet(word), 0);
    QCOMPARE(word, 0x0000FFFFu);

    emu::shortTransfer(1, 3, 7);
    QCOMPARE(dev.StatusSet(1u << 20), -1);
    QCOMPARE(emu::statusWord(), 0x0000FFFFu); // a broken data stage applies nothing
}

void TestUsbMirel::ballastData()
{
    const auto vrb = pattern(864, 1);
    const auto records = pattern(28 * 64, 2);
    emu::setBallastData(vrb, records);
    USBMIREL dev;
    std::vector<uint8_t> a(864), b(28 * 64);
    QCOMPARE(dev.GetVrb(a.data()), 0);
    QCOMPARE(dev.GetVrBalasts(b.data(), 64), 0);
    QVERIFY(a == vrb);
    QVERIFY(b == records);
    QCOMPARE(emu::transferLog(11).back().lengthAsked, 28 * 64);

    std::vector<uint8_t> c(28 * 5);
    QCOMPARE(dev.GetVrBalasts(c.data(), 5), 0);
    QVERIFY(std::equal(c.begin(), c.end(), records.begin()));
}

void TestUsbMirel::ballastReadsNeedExactCounts_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("n = 0") << "zero";
    QTest::newRow("n too large for one transfer") << "huge";
    QTest::newRow("short summary") << "short10";
    QTest::newRow("short records") << "short11";
    QTest::newRow("bootloader stalls") << "bootloader";
}

void TestUsbMirel::ballastReadsNeedExactCounts()
{
    QFETCH(QString, fault);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    emu::clearTransferLog();
    std::vector<uint8_t> buf(28 * 64);
    if (fault == "zero") {
        QCOMPARE(dev.GetVrBalasts(buf.data(), 0), -1);
        QVERIFY(emu::transferLog().empty());
    } else if (fault == "huge") {
        QCOMPARE(dev.GetVrBalasts(buf.data(), 0x80000000u), -1);
        QVERIFY(emu::transferLog().empty());
    } else if (fault == "short10") {
        emu::shortTransfer(1, 863, 10);
        QCOMPARE(dev.GetVrb(buf.data()), -1);
    } else if (fault == "short11") {
        emu::shortTransfer(1, 28 * 63, 11);
        QCOMPARE(dev.GetVrBalasts(buf.data(), 64), -1);
    } else {
        emu::setMode(emu::Mode::Bootloader);
        QCOMPARE(dev.GetVrb(buf.data()), -1);
        QCOMPARE(dev.GetVrBalasts(buf.data(), 64), -1);
        QCOMPARE(emu::transferLog(10).back().lengthReturned, emu::errStall);
    }
}

void TestUsbMirel::runApplicationRestartsDevice()
{
    emu::setTiming(emu::Timing {0, 0, 0, 0, 1200});
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    LogCapture log;
    dev.RunApplication();
    QCOMPARE(log.lines(),
        (QStringList {"USBMIREL::RunApplication(void) ", "UsbDevice::control_send()",
            "USB Control Send bRequest=4, wValue=0, wIndex=0 - OK."}));
    const auto run = emu::transferLog(4);
    QCOMPARE(run.size(), size_t(1));
    QCOMPARE(run[0].lengthAsked, 0);
    QCOMPARE(dev.serialNumber(), QByteArray()); // the old handle is dead
    dev.disconnect();
    QCOMPARE(dev.connect(), -1); // still re-enumerating
    emu::advance(1200);
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000001b"));
}

void TestUsbMirel::programWaitsLetTheDeviceReenumerate()
{
    // Realistic timing on the virtual clock, the program's waits routed to
    // it: the restart sequence takes no real time but keeps its order.
    emu::setTiming(emu::Timing::realistic());
    kelto::setSleepFunction(emu::virtualSleep);
    USBMIREL dev;
    QCOMPARE(dev.connect(), 0);
    dev.RunApplication();
    dev.disconnect();
    QCOMPARE(dev.connect(), -1);
    const uint64_t before = emu::nowMs();
    kelto::sleepMs(2000);
    kelto::setSleepFunction(nullptr);
    QCOMPARE(emu::nowMs() - before, uint64_t(2000));
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000001b"));
    dev.RunApplication(); // the application is valid: back into it
    dev.disconnect();
    emu::advance(1200);
    QCOMPARE(dev.connect(), 0);
    QCOMPARE(dev.serialNumber(), QByteArray("KT0000001"));
}

QTEST_GUILESS_MAIN(TestUsbMirel)
#include "tst_usbmirel.moc"
