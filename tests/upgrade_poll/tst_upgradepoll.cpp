// An upgrade while the ballast view polls the same device object. The
// bootloader knows nothing of ballasts, so the poller's requests fail (and
// close the link) for most of the run; none of that may reach the outcome.
//
// The interleaving only means something when transfers take time, so these
// runs use the emulator's real clock with the realistic timing model made
// ten times faster, and the fixed waits and the poll interval shortened
// alike.
#include "upgraderig.h"

#include "emulator.h"
#include "mythread.h"
#include "pollinterval.h"

#include <QTest>

#include <atomic>
#include <thread>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

constexpr unsigned long scale = 10;
constexpr unsigned long pollMs = 500 / scale;

emu::Timing scaledTiming()
{
    const emu::Timing r = emu::Timing::realistic();
    emu::Timing t;
    t.transferOverheadUs = r.transferOverheadUs / scale;
    t.nsPerByte = r.nsPerByte / scale;
    t.pageProgramUs = r.pageProgramUs / scale;
    t.externalWriteUs = r.externalWriteUs / scale;
    t.reenumerationMs = r.reenumerationMs / scale;
    return t;
}

// The ballast poller's cycle (identity, summary block, 64 records) from a
// thread of its own, either every poll interval or back to back.
class Poller
{
public:
    Poller(USBMIREL &device, bool paced)
        : device(device)
        , paced(paced)
    {
        thread = std::thread([this] { loop(); });
    }
    ~Poller() { stop(); }
    void stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
    }
    int cycles() const { return done.load(); }
    int failures() const { return failed.load(); }

private:
    void loop()
    {
        unsigned char id[2];
        std::vector<unsigned char> vrb(864), records(28 * 64);
        while (running) {
            if (paced)
                std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
            int bad = 0;
            bad += device.control_receive(255, 0, 0, id, 2) != 2;
            bad += device.GetVrb(vrb.data()) != 0;
            bad += device.GetVrBalasts(records.data(), 64) != 0;
            failed += bad;
            ++done;
        }
    }

    USBMIREL &device;
    const bool paced;
    std::atomic<bool> running {true};
    std::atomic<int> done {0};
    std::atomic<int> failed {0};
    std::thread thread;
};

// Ballast reads that fell between the first and the last page write.
int ballastReadsAmongPages()
{
    const auto log = emu::transferLog();
    int first = -1, last = -1;
    for (int i = 0; i < int(log.size()); ++i) {
        if (log[size_t(i)].requestType == 0x40 && log[size_t(i)].request == 3) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    int n = 0;
    for (int i = first; i >= 0 && i < last; ++i)
        n += log[size_t(i)].requestType == 0xC0 && log[size_t(i)].request == 10;
    return n;
}

} // namespace

class TestUpgradePoll : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void upgradeWhilePolling_data();
    void upgradeWhilePolling();
    void upgradeWithBallastThread();
};

void TestUpgradePoll::init()
{
    emu::reset();
}

void TestUpgradePoll::cleanup()
{
    emu::setClockMode(emu::ClockMode::Virtual);
    kelto::setBallastPollIntervalMs(0);
}

void TestUpgradePoll::upgradeWhilePolling_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<bool>("otherUnit"); // a second converter, in its application
    QTest::newRow("every interval, from application") << true << true << false;
    QTest::newRow("every interval, from bootloader") << true << false << false;
    QTest::newRow("back to back, from application") << false << true << false;
    QTest::newRow("back to back, another unit on the bus") << false << true << true;
}

void TestUpgradePoll::upgradeWhilePolling()
{
    QFETCH(bool, paced);
    QFETCH(bool, fromApplication);
    QFETCH(bool, otherUnit);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setClockMode(emu::ClockMode::Real);
    emu::setTiming(scaledTiming());
    Sleeps::setDivisor(scale);
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    emu::DeviceConfig second;
    second.serial = "KT0000002";
    if (otherUnit) {
        emu::addDevice(second);
        // Plugged in again, the first unit is the newest on the bus: the
        // library lists it first, and the run takes it.
        emu::unplug(0);
        emu::plug(0);
    }
    Poller poller(rig.device, paced);
    QVERIFY(rig.run(file));
    poller.stop();

    QCOMPARE(rig.recorder.texts(), successTexts(file, fromApplication));
    QCOMPARE(rig.recorder.percents(), successPercents());
    QVERIFY(deviceHasFirmware(rig.firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);
    // The poller really ran during the run, and mostly failed.
    QVERIFY2(ballastReadsAmongPages() > 3, qPrintable(QString::number(ballastReadsAmongPages())));
    QVERIFY(poller.failures() > 0);
    // While the run has its unit (up to its final restart), the poller's
    // reconnects find only that one, even while it is off the bus.
    const auto log = emu::transferLog();
    size_t end = log.size();
    while (end > 0 && !(log[end - 1].requestType == 0x40 && log[end - 1].request == 4))
        --end;
    for (size_t i = 0; i < end; ++i)
        QVERIFY(log[i].device == 0 || log[i].requestType == 0x80);
}

void TestUpgradePoll::upgradeWithBallastThread()
{
    // The window's own polling thread, switched on as the ballast tab does.
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setClockMode(emu::ClockMode::Real);
    emu::setTiming(scaledTiming());
    Sleeps::setDivisor(scale);
    kelto::setBallastPollIntervalMs(pollMs);
    MyThread poller(nullptr, &rig.device);
    poller.start(QThread::LowestPriority);
    poller.start_work();
    QVERIFY(rig.run(file));
    poller.stop_work();
    poller.terminate();
    QVERIFY(poller.wait(QDeadlineTimer(10000)));

    QCOMPARE(rig.recorder.texts(), successTexts(file, true));
    QCOMPARE(rig.recorder.percents(), successPercents());
    QVERIFY(deviceHasFirmware(rig.firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QVERIFY(ballastReadsAmongPages() > 3);
}

QTEST_GUILESS_MAIN(TestUpgradePoll)
#include "tst_upgradepoll.moc"
