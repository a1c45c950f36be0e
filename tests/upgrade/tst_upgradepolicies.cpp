// The two policies of an upgrade on their own: which pages and chunks a run
// writes in which order, and how long a wait for a restart lasts.
#include "delay.h"
#include "pageplan.h"
#include "waitpolicy.h"

#include <QTest>

#include <atomic>

using kelto::upgrade::PagePlan;
using kelto::upgrade::WaitPolicy;

namespace {

std::atomic<uint64_t> now {0}; // the tests' clock, ms
void advance(unsigned long ms)
{
    now += ms;
}
uint64_t clock()
{
    return now;
}

constexpr uint64_t never = ~uint64_t(0);

} // namespace

Q_DECLARE_METATYPE(WaitPolicy::Result)

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
    QTest::addColumn<QList<int>>("pagesDiffering");
    QTest::addColumn<QList<int>>("chunksDiffering");
    QTest::addColumn<QList<int>>("writes"); // pages, in write order
    QTest::addColumn<int>("chunkWrites");
    QList<int> all {119};
    for (int i = 0; i < 119; ++i)
        all << i;
    QTest::newRow("full") << false << QList<int>() << QList<int>() << all << 320;
    QTest::newRow("nothing differs") << true << QList<int>() << QList<int>() << QList<int>() << 0;
    QTest::newRow("one page") << true << QList<int> {17} << QList<int>() << QList<int> {119, 17}
                              << 0;
    QTest::newRow("pages in address order, the last first")
        << true << QList<int> {90, 3, 119} << QList<int>() << QList<int> {119, 3, 90} << 0;
    // The application is unstartable while a chunk is written too.
    QTest::newRow("one chunk") << true << QList<int>() << QList<int> {5} << QList<int> {119} << 1;
}

void TestUpgradePolicies::pagePlan()
{
    QFETCH(bool, skip);
    QFETCH(QList<int>, pagesDiffering);
    QFETCH(QList<int>, chunksDiffering);
    QFETCH(QList<int>, writes);
    QFETCH(int, chunkWrites);
    QByteArray app(120 * int(PagePlan::pageSize), '\0');
    for (int i = 0; i < app.size(); ++i)
        app[i] = char(i * 7 + i / 2048);
    PagePlan plan(app, 320);
    if (skip) {
        std::vector<bool> pages(120, true), chunks(320, true);
        for (int p : pagesDiffering)
            pages[size_t(p)] = false;
        for (int c : chunksDiffering)
            chunks[size_t(c)] = false;
        plan.leaveOut(pages, chunks);
    }
    QList<int> order;
    for (int n = 0; n < plan.writes(); ++n)
        order << int(plan.offset(n) / PagePlan::pageSize);
    QCOMPARE(order, writes);
    QCOMPARE(plan.pagesLeftOut(), 120 - int(writes.size()));
    QCOMPARE(plan.chunks() - plan.chunksLeftOut(), chunkWrites);
    QCOMPARE(plan.changesAnything(), !writes.isEmpty());
    if (writes.isEmpty())
        return;
    // The first write leaves the checksum word erased; the commit has it.
    unsigned char first[PagePlan::pageSize], commit[PagePlan::pageSize];
    plan.contents(0, first);
    plan.commitContents(commit);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(first) + 2044, 4), QByteArray(4, '\xFF'));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(commit), 2048), app.right(2048));
    QCOMPARE(QByteArray(reinterpret_cast<char *>(first), 2044), app.right(2048).left(2044));
}

void TestUpgradePolicies::waits_data()
{
    QTest::addColumn<bool>("polled");
    QTest::addColumn<uint64_t>("backAt"); // the state waited for is seen from then on
    QTest::addColumn<uint64_t>("stopAt");
    QTest::addColumn<WaitPolicy::Result>("result");
    QTest::addColumn<uint64_t>("endsAt");
    // The restart into the bootloader: 2000 + 500 ms, then 10 looks 200 ms
    // apart for at most 2 s.
    using R = WaitPolicy::Result;
    QTest::newRow("fixed, back at once")
        << false << uint64_t(0) << never << R::Seen << uint64_t(2500);
    QTest::newRow("fixed, back late")
        << false << uint64_t(2900) << never << R::Seen << uint64_t(2900);
    QTest::newRow("fixed, never") << false << never << never << R::NotSeen << uint64_t(4500);
    QTest::newRow("polled, back at once") << true << uint64_t(0) << never << R::Seen << uint64_t(0);
    QTest::newRow("polled, back") << true << uint64_t(1210) << never << R::Seen << uint64_t(1220);
    // No sooner than the written waits and a margin.
    QTest::newRow("polled, never") << true << never << never << R::NotSeen << uint64_t(5500);
    QTest::newRow("polled, stopped")
        << true << never << uint64_t(100) << R::Stopped << uint64_t(100);
}

void TestUpgradePolicies::waits()
{
    QFETCH(bool, polled);
    QFETCH(uint64_t, backAt);
    QFETCH(uint64_t, stopAt);
    QFETCH(WaitPolicy::Result, result);
    QFETCH(uint64_t, endsAt);
    now = 0;
    kelto::setSleepFunction(advance);
    kelto::setClockFunction(clock);
    std::atomic<bool> stop {false};
    const WaitPolicy waits(polled ? WaitPolicy::Kind::Polled : WaitPolicy::Kind::Fixed);
    uint64_t firstJudged = never;
    const auto look = [&](bool judge) {
        if (now >= stopAt)
            stop = true;
        if (judge && firstJudged == never)
            firstJudged = now;
        return now >= backAt;
    };
    WaitPolicy::Result r = WaitPolicy::Result::Stopped;
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
