// The polling thread against the emulated converter: when it sends, what it
// publishes, and that every way of ending it is prompt and leaves the
// transport usable.
#include "ballastsnapshot.h"
#include "delay.h"
#include "emulator.h"
#include "logcapture.h"
#include "mythread.h"
#include "pollinterval.h"
#include "usbmirel.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> pattern(std::size_t size, uint8_t seed)
{
    std::vector<uint8_t> v(size);
    for (std::size_t i = 0; i < size; ++i)
        v[i] = uint8_t(seed + i * 31);
    return v;
}

template<std::size_t N> std::vector<uint8_t> toVector(const std::array<unsigned char, N> &a)
{
    return std::vector<uint8_t>(a.begin(), a.end());
}

std::size_t count(uint8_t request)
{
    return kelto::emu::transferLog(request).size();
}

// Waits, without a fixed sleep, until pred holds or the time is up.
template<typename Pred> bool waitFor(Pred pred, int ms = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Counts cycles in the polling thread itself and can look at the snapshot at
// the moment of each announcement.
struct CycleProbe
{
    explicit CycleProbe(MyThread &thread)
    {
        QObject::connect(
            &thread, &MyThread::tx_complete, &thread,
            [this] {
                const BallastSnapshot::Data data = ballastSnapshot().read();
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(data);
                cycles = int(seen.size());
            },
            Qt::DirectConnection);
    }
    BallastSnapshot::Data at(int i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.at(i);
    }
    std::atomic<int> cycles {0};
    std::mutex mutex;
    std::vector<BallastSnapshot::Data> seen;
};

using FaultList = std::vector<kelto::emu::Fault>;

} // namespace

Q_DECLARE_METATYPE(kelto::emu::Fault)

class TestMyThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void idleSendsNothing();
    void cycleRequestsInOrder();
    void publishesDeviceData();
    void noDeviceStillAnnouncesAndKeepsSnapshot_data();
    void noDeviceStillAnnouncesAndKeepsSnapshot();
    void incompleteReplyIsNotPublished_data();
    void incompleteReplyIsNotPublished();
    void stopTakesEffectAtNextReading();
    void cycleWhoseSleepHasBegunStillRuns();
    void terminateWakesThePause();
    void terminateWhilePollingLeavesTransportUsable();
    void destructorStopsARunningThread();
    void terminatedThreadStaysStopped();
};

void TestMyThread::init()
{
    kelto::emu::reset();
    kelto::setSleepFunction(kelto::emu::virtualSleep);
    kelto::setBallastPollIntervalMs(2);
    ballastSnapshot().clear();
}

void TestMyThread::cleanup()
{
    kelto::setBallastPollIntervalMs(0);
    kelto::setSleepFunction(nullptr);
}

void TestMyThread::idleSendsNothing()
{
    kelto::test::LogCapture log;
    USBMIREL dev;
    {
        MyThread thread(nullptr, &dev);
        CycleProbe probe(thread);
        thread.start(QThread::LowestPriority);
        // Fifty pauses' worth of idling.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        QVERIFY(thread.isRunning());
        QCOMPARE(probe.cycles.load(), 0);
        QVERIFY(kelto::emu::transferLog().empty());
        thread.terminate();
        QVERIFY(thread.isFinished());
    }
    QCOMPARE(log.linesStartingWith("MyThread Constructor"), QStringList {"MyThread Constructor"});
    QCOMPARE(log.linesStartingWith("MyThread Destructor"), QStringList {"MyThread Destructor"});
}

void TestMyThread::cycleRequestsInOrder()
{
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 3; }));
    thread.terminate();
    QVERIFY(thread.isFinished());

    // The first presence check finds the device closed and connects (255,
    // 254) before its own request; later cycles are three transfers each.
    std::vector<int> requests;
    for (const auto &r : kelto::emu::transferLog())
        requests.push_back(r.request);
    QVERIFY(requests.size() >= 5);
    const std::vector<int> start(requests.begin(), requests.begin() + 5);
    QCOMPARE(start, (std::vector<int> {255, 254, 255, 10, 11}));
    for (std::size_t i = 5; i + 2 < requests.size(); i += 3) {
        QCOMPARE(requests[i], 255);
        QCOMPARE(requests[i + 1], 10);
        QCOMPARE(requests[i + 2], 11);
    }
    // One announcement per finished cycle.
    QCOMPARE(count(11), std::size_t(probe.cycles.load()));
    for (const auto &r : kelto::emu::transferLog(10))
        QCOMPARE(r.lengthAsked, 864);
    for (const auto &r : kelto::emu::transferLog(11))
        QCOMPARE(r.lengthAsked, 64 * 28);
}

void TestMyThread::publishesDeviceData()
{
    const auto vrb = pattern(864, 3);
    const auto records = pattern(64 * 28, 9);
    kelto::emu::setBallastData(vrb, records);
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 1; }));
    thread.terminate();
    QCOMPARE(toVector(probe.at(0).vrb), vrb);
    QCOMPARE(toVector(probe.at(0).vrBalasts), records);
    QCOMPARE(toVector(ballastSnapshot().read().vrb), vrb);
}

using Link = BallastSnapshot::Link;
using Setup = std::function<void()>;

void TestMyThread::noDeviceStillAnnouncesAndKeepsSnapshot_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<Link>("link");
    QTest::newRow("not on the bus") << Setup(kelto::emu::removeAllDevices) << Link::Gone;
    QTest::newRow("in its bootloader")
        << Setup([] { kelto::emu::setMode(kelto::emu::Mode::Bootloader); }) << Link::Bootloader;
}

void TestMyThread::noDeviceStillAnnouncesAndKeepsSnapshot()
{
    QFETCH(Setup, setup);
    QFETCH(Link, link);
    std::array<unsigned char, 864> known {};
    known.fill(0x5A);
    ballastSnapshot().publishVrb(known);
    setup();
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 3; }));
    thread.terminate();
    QCOMPARE(kelto::emu::transferLog().empty(), link == Link::Gone);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(probe.at(i).vrb == known);
        QVERIFY(probe.at(i).vrBalasts == BallastSnapshot::Data().vrBalasts);
        // Kept, but never passed off as what the converter reports now.
        QCOMPARE(probe.at(i).link, link);
    }
}

void TestMyThread::incompleteReplyIsNotPublished_data()
{
    QTest::addColumn<kelto::emu::Fault>("fault");
    QTest::addColumn<bool>("vrbKept");
    QTest::addColumn<Link>("link");

    kelto::emu::Fault f;
    f.request = 10;
    QTest::newRow("summary fails") << f << true << Link::Refused;
    f.error = kelto::emu::errTimeout;
    QTest::newRow("summary times out") << f << true << Link::NoAnswer;
    f = kelto::emu::Fault();
    f.request = 10;
    f.kind = kelto::emu::FaultKind::Short;
    f.shortCount = 100;
    QTest::newRow("summary short") << f << true << Link::Refused;
    f.shortCount = 863;
    QTest::newRow("summary one byte short") << f << true << Link::Refused;
    f = kelto::emu::Fault();
    f.request = 11;
    QTest::newRow("records fail") << f << false << Link::Refused;
    f.kind = kelto::emu::FaultKind::Short;
    f.shortCount = 28 * 10;
    QTest::newRow("records short") << f << false << Link::Refused;
}

void TestMyThread::incompleteReplyIsNotPublished()
{
    QFETCH(kelto::emu::Fault, fault);
    QFETCH(bool, vrbKept);
    QFETCH(Link, link);
    std::array<unsigned char, 864> oldVrb {};
    oldVrb.fill(0x11);
    std::array<unsigned char, 64 * 28> oldRecords {};
    oldRecords.fill(0x22);
    ballastSnapshot().publishVrb(oldVrb);
    ballastSnapshot().publishVrBalasts(oldRecords);
    const auto vrb = pattern(864, 1);
    const auto records = pattern(64 * 28, 2);
    kelto::emu::setBallastData(vrb, records);
    kelto::emu::injectFault(fault);

    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 2; }));
    thread.terminate();

    // The faulty half keeps every old byte; the other half is fresh.
    const BallastSnapshot::Data first = probe.at(0);
    if (vrbKept) {
        QVERIFY(first.vrb == oldVrb);
        QCOMPARE(toVector(first.vrBalasts), records);
    } else {
        QCOMPARE(toVector(first.vrb), vrb);
        QVERIFY(first.vrBalasts == oldRecords);
    }
    // Half fresh is not live, whichever half failed.
    QCOMPARE(first.link, link);
    // The next complete reply is published.
    QCOMPARE(toVector(probe.at(1).vrb), vrb);
    QCOMPARE(toVector(probe.at(1).vrBalasts), records);
    QCOMPARE(probe.at(1).link, Link::Live);
}

void TestMyThread::stopTakesEffectAtNextReading()
{
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    // Switched off right after the first cycle, before the loop reads the
    // switch again.
    QObject::connect(
        &thread, &MyThread::tx_complete, &thread, [&] { thread.stop_work(); },
        Qt::DirectConnection);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    QCOMPARE(probe.cycles.load(), 1);
    QCOMPARE(count(11), std::size_t(1));
    QCOMPARE(count(10), std::size_t(1));

    // And on again.
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 2; }));
    thread.terminate();
}

void TestMyThread::cycleWhoseSleepHasBegunStillRuns()
{
    kelto::setBallastPollIntervalMs(300);
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    CycleProbe probe(thread);
    thread.start();
    thread.start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 1; }));
    // The loop has read the switch as on and pauses before its next cycle.
    thread.stop_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    QCOMPARE(probe.cycles.load(), 2);
    thread.terminate();
}

void TestMyThread::terminateWakesThePause()
{
    // A pause far longer than terminate()'s bound.
    kelto::setBallastPollIntervalMs(20000);
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    thread.start();
    thread.start_work();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QElapsedTimer timer;
    timer.start();
    thread.terminate();
    QVERIFY(thread.isFinished());
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(kelto::emu::transferLog().empty());
}

void TestMyThread::terminateWhilePollingLeavesTransportUsable()
{
    kelto::setBallastPollIntervalMs(1);
    // Transfers that take real time, so that the stop lands inside cycles.
    kelto::emu::setClockMode(kelto::emu::ClockMode::Real);
    kelto::emu::setTiming(kelto::emu::Timing::realistic());
    USBMIREL dev;
    for (int round = 0; round < 5; ++round) {
        MyThread thread(nullptr, &dev);
        CycleProbe probe(thread);
        thread.start();
        thread.start_work();
        QVERIFY(waitFor([&] { return probe.cycles >= 1; }));
        std::this_thread::sleep_for(std::chrono::microseconds(700 * round));
        QElapsedTimer timer;
        timer.start();
        thread.terminate();
        QVERIFY(thread.isFinished());
        QVERIFY(timer.elapsed() < 1000);
        // Nobody holds the transport lock, and the device still answers.
        QVERIFY(usbMutex.try_lock());
        usbMutex.unlock();
        std::array<unsigned char, 864> buffer {};
        QCOMPARE(dev.GetVrb(buffer.data()), 0);
    }
    kelto::emu::setTiming(kelto::emu::Timing::zero());
}

void TestMyThread::destructorStopsARunningThread()
{
    USBMIREL dev;
    auto *thread = new MyThread(nullptr, &dev);
    CycleProbe probe(*thread);
    thread->start();
    thread->start_work();
    QVERIFY(waitFor([&] { return probe.cycles >= 1; }));
    QElapsedTimer timer;
    timer.start();
    delete thread; // would abort the process if the thread were still running
    QVERIFY(timer.elapsed() < 1000);
}

void TestMyThread::terminatedThreadStaysStopped()
{
    USBMIREL dev;
    MyThread thread(nullptr, &dev);
    thread.start_work();
    // Asked to end before it ever ran: the request is not lost.
    thread.terminate();
    thread.start();
    QVERIFY(thread.wait(2000));
    QVERIFY(kelto::emu::transferLog().empty());
}

QTEST_GUILESS_MAIN(TestMyThread)
#include "tst_mythread.moc"
