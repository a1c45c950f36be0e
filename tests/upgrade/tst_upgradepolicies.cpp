// The two policies of an upgrade on their own: which pages and chunks a run
// writes in which order, and when a wait for a restart ends.
#include "delay.h"
#include "pageplan.h"
#include "waitpolicy.h"

#include <QTest>

#include <atomic>

using kelto::upgrade::PagePlan;
using kelto::upgrade::WaitPolicy;
using Ints = QList<int>;
using R = WaitPolicy::Result;
Q_DECLARE_METATYPE(R)

namespace {
std::atomic<uint64_t> now {0}; // the tests' clock, ms
constexpr uint64_t never = ~uint64_t(0);
} // namespace

class TestUpgradePolicies : public QObject
{
    Q_OBJECT

private slots:
    void pagePlan_data();
    void pagePlan();
    void waits_data();
    void waits();
};

void TestUpgradePolicies::pagePlan_data()
{
    QTest::addColumn<bool>("skip");
    QTest::addColumn<Ints>("pagesDiffering");
    QTest::addColumn<Ints>("chunksDiffering");
    QTest::addColumn<Ints>("writes"); // pages, in write order
    QTest::addColumn<int>("chunkWrites");
    QTest::newRow("full") << false << Ints() << Ints() << Ints {119, 0, 1} << 320;
    QTest::newRow("nothing differs") << true << Ints() << Ints() << Ints() << 0;
    QTest::newRow("the last first")
        << true << Ints {90, 3, 119} << Ints() << Ints {119, 3, 90} << 0;
    // The application is unstartable while a chunk is written too.
    QTest::newRow("one chunk") << true << Ints() << Ints {5} << Ints {119} << 1;
}

void TestUpgradePolicies::pagePlan()
{
    QFETCH(bool, skip);
    QFETCH(Ints, pagesDiffering);
    QFETCH(Ints, chunksDiffering);
    QFETCH(Ints, writes);
    QFETCH(int, chunkWrites);
    PagePlan plan(QByteArray(120 * 2048, '\0'), 320);
    if (skip) {
        std::vector<bool> pages(120, true), chunks(320, true);
        for (int p : pagesDiffering)
            pages[size_t(p)] = false;
        for (int c : chunksDiffering)
            chunks[size_t(c)] = false;
        plan.leaveOut(pages, chunks);
    }
    Ints order;
    for (int n = 0; n < plan.writes() && n < 3; ++n)
        order << int(plan.offset(n) / 2048);
    QCOMPARE(order, writes);
    QCOMPARE(plan.pagesLeftOut(), skip ? 120 - int(writes.size()) : 0);
    QCOMPARE(plan.chunks() - plan.chunksLeftOut(), chunkWrites);
    QCOMPARE(plan.changesAnything(), !writes.isEmpty());
}

void TestUpgradePolicies::waits_data()
{
    QTest::addColumn<bool>("polled");
    QTest::addColumn<uint64_t>("backAt"); // the state waited for, seen from then on
    QTest::addColumn<uint64_t>("stopAt");
    QTest::addColumn<R>("result");
    QTest::addColumn<uint64_t>("endsAt");
    // Into the bootloader: 2000 + 500 ms, then 10 looks 200 ms apart.
    QTest::newRow("fixed, back late")
        << false << uint64_t(2900) << never << R::Seen << uint64_t(2900);
    QTest::newRow("fixed, never") << false << never << never << R::NotSeen << uint64_t(4500);
    QTest::newRow("polled, back") << true << uint64_t(1210) << never << R::Seen << uint64_t(1220);
    // No sooner than the written waits, plus a margin.
    QTest::newRow("polled, never") << true << never << never << R::NotSeen << uint64_t(5500);
    QTest::newRow("polled, stopped")
        << true << never << uint64_t(100) << R::Stopped << uint64_t(100);
}

void TestUpgradePolicies::waits()
{
    QFETCH(bool, polled);
    QFETCH(uint64_t, backAt);
    QFETCH(uint64_t, stopAt);
    QFETCH(R, result);
    QFETCH(uint64_t, endsAt);
    now = 0;
    kelto::setSleepFunction([](unsigned long ms) { now += ms; });
    kelto::setClockFunction([]() -> uint64_t { return now; });
    std::atomic<bool> stop {false};
    const WaitPolicy waits(polled ? WaitPolicy::Kind::Polled : WaitPolicy::Kind::Fixed);
    uint64_t firstJudged = never;
    const auto look = [&](bool judge) {
        stop = stop || now >= stopAt;
        if (judge && firstJudged == never)
            firstJudged = now;
        return now >= backAt;
    };
    R r = R::Stopped;
    if (!waits.settle(2000, stop) && !waits.settle(500, stop))
        r = waits.lookFor({2500, 10, 200, 2000}, 0, look, stop);
    kelto::setSleepFunction(nullptr);
    kelto::setClockFunction(nullptr);
    QCOMPARE(r, result);
    QCOMPARE(now.load(), endsAt);
    // Nothing but the state waited for is acted on before the written wait.
    QVERIFY(firstJudged == never || firstJudged >= 2500);
}

QTEST_GUILESS_MAIN(TestUpgradePolicies)
#include "tst_upgradepolicies.moc"
