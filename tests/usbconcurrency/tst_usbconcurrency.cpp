// Several threads on the one device object: the transport lock is taken per
// transfer only, so multi-chunk operations of different threads interleave
// chunk by chunk, and nothing is lost or corrupted when they do.
#include "emulator.h"
#include "usbmirel.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace emu = kelto::emu;

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = uint8_t(seed >> 16);
    }
    return v;
}

// Hands the turn between two threads; a wait that times out is recorded
// instead of hanging the test.
class Baton
{
public:
    void pass(int to)
    {
        std::lock_guard<std::mutex> lock(m);
        turn = to;
        cv.notify_all();
    }
    bool waitFor(int me)
    {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return turn == me || done; })) {
            timedOut = true;
            return false;
        }
        return true;
    }
    void finish()
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_all();
    }
    std::atomic<bool> timedOut {false};

private:
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    bool done = false;
};

} // namespace

class TestUsbConcurrency : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(quiet); }
    void init() { emu::reset(); }

    void chunksOfTwoThreadsAlternate();
    void mixedTrafficStaysCorrect();
};

void TestUsbConcurrency::chunksOfTwoThreadsAlternate()
{
    const auto a = pattern(2048, 1);
    const auto b = pattern(2048, 2);
    emu::writeExternalFlash(0x00000, a);
    emu::writeExternalFlash(0x10000, b);
    USBMIREL dev;

    // After each chunk (the progress signal runs in the reading thread) a
    // thread hands over to the other and waits for its turn again. This can
    // only finish if no thread keeps the transport lock between its chunks.
    Baton baton;
    thread_local int me = -1;
    std::atomic<int> lockFreeAtSignal {0};
    QObject::connect(
        &dev, &USBMIREL::sendPercentExtFlashRead, &dev,
        [&](int percent) {
            if (usbMutex.try_lock()) {
                usbMutex.unlock();
                ++lockFreeAtSignal;
            }
            baton.pass(1 - me);
            if (percent < 100 || me == 0)
                baton.waitFor(me);
        },
        Qt::DirectConnection);

    std::vector<uint8_t> ra(2048), rb(2048);
    int resA = 1, resB = 1;
    std::thread ta([&] {
        me = 0;
        resA = dev.ReadExternalFlash(ra.data(), 0x00000, 2048);
    });
    std::thread tb([&] {
        me = 1;
        baton.waitFor(1);
        resB = dev.ReadExternalFlash(rb.data(), 0x10000, 2048);
        baton.finish();
    });
    ta.join();
    tb.join();

    QVERIFY(!baton.timedOut);
    QCOMPARE(resA, 0);
    QCOMPARE(resB, 0);
    QVERIFY(ra == a);
    QVERIFY(rb == b);
    QCOMPARE(lockFreeAtSignal.load(), 8);
    const auto log = emu::transferLog(5);
    QCOMPARE(log.size(), size_t(8));
    for (size_t i = 0; i < log.size(); ++i) {
        QCOMPARE(int(log[i].index), i % 2 ? 1 : 0); // A, B, A, B ...
        QCOMPARE(int(log[i].value), int(i / 2 * 512));
    }
}

void TestUsbConcurrency::mixedTrafficStaysCorrect()
{
    // An upgrade-like writer, a memory reader, a ballast poller and a thread
    // that keeps closing the link: every operation still succeeds, because
    // each transfer reconnects by itself when it finds the device closed.
    emu::setMode(emu::Mode::Bootloader);
    const auto ext = pattern(4096, 3);
    const auto page = pattern(2048, 4);
    USBMIREL dev;
    std::atomic<int> failures {0};
    std::atomic<bool> stop {false};
    constexpr int rounds = 20;

    std::thread writer([&] {
        for (int i = 0; i < rounds; ++i) {
            auto w = ext;
            std::vector<uint8_t> r(ext.size());
            if (dev.WriteExternalFlash(w.data(), 0x20000, uint32_t(w.size())) != 0
                || dev.ReadExternalFlash(r.data(), 0x20000, uint32_t(r.size())) != 0 || r != ext)
                ++failures;
        }
    });
    std::thread pager([&] {
        for (int i = 0; i < rounds; ++i) {
            auto w = page;
            std::vector<uint8_t> r(page.size());
            const uint32_t address = 0x08004000u + uint32_t(i % 4) * 2048u;
            if (dev.WritePage(w.data(), address) != 0
                || dev.ReadMemory(r.data(), address, 2048) != 0 || r != page)
                ++failures;
        }
    });
    std::thread poller([&] {
        std::vector<uint8_t> vrb(864), rec(28 * 64);
        uint32_t word = 0;
        for (int i = 0; i < rounds; ++i) {
            unsigned char id[2];
            if (dev.control_receive(255, 0, 0, id, 2) != 2 || dev.StatusGet(word) != 0)
                ++failures;
            // The bootloader refuses the ballast requests: they fail alike
            // in every round, without disturbing the others.
            if (dev.GetVrb(vrb.data()) != -1 || dev.GetVrBalasts(rec.data(), 64) != -1)
                ++failures;
        }
    });
    std::thread closer([&] {
        while (!stop) {
            dev.disconnect();
            (void)dev.serialNumber();
            std::this_thread::yield();
        }
    });
    writer.join();
    pager.join();
    poller.join();
    stop = true;
    closer.join();
    QCOMPARE(failures.load(), 0);
    dev.disconnect();
    QCOMPARE(emu::openHandles(), 0);
}

QTEST_GUILESS_MAIN(TestUsbConcurrency)
#include "tst_usbconcurrency.moc"
