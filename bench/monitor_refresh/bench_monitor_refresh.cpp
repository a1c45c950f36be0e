// What one ballast page refresh costs the GUI thread, the repaint it causes
// included, in the real window with the ballast tab on screen:
//   SetHtml        the baseline, a plain setHtml of the page into the browser
//   RefreshFew     the window's refresh after four cells changed
//   RefreshAll     the window's refresh after every value changed, each
//                  keeping its number of digits
//   RefreshWider   the same four cells, one of them a time gaining a digit,
//                  so the tables must be laid out anew
//   RefreshAllNew  as RefreshAll, but every snapshot holds values the cells
//                  have not shown before (the layout remembers the values
//                  each cell has shown, so RefreshAll's two pages cost it
//                  less than ever-new values do)
//   RefreshSame    the window's refresh of an unchanged snapshot
//   Repaint        painting the browser's whole viewport, nothing changed
//   BuildPage      building the page text alone
// The ...NoPaint variants leave the repaint out. Each changing case
// alternates between two snapshots, so every iteration sees a change.
// Compare the cases as ratios to SetHtml of the same run. Built with
// KELTO_QT_PRIVATE=OFF (the qt-public preset) the refreshes are those of the
// public-API view.
#include "ballastpage.h"
#include "ballastsnapshot.h"
#include "darvo_bootloader.h"
#include "emulator.h"

#include <QApplication>
#include <QMetaObject>
#include <QTabWidget>
#include <QTest>
#include <QTextBrowser>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

Darvo_bootloader *window = nullptr;

// Which values differ between the two snapshots a case alternates between.
enum class Change {
    Few, // four cells in four tables
    All, // every value, each keeping its number of digits
    Wider, // four cells, one of them a time that gains a digit
};

void putWord(BallastSnapshot::Data &d, int offset, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        d.vrb[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

BallastSnapshot::Data snapshot(int variant, Change change)
{
    using namespace kelto::ballast;
    BallastSnapshot::Data d;
    if (change == Change::All) {
        for (std::size_t i = 0; i < d.vrb.size(); ++i)
            d.vrb[i] = static_cast<unsigned char>(i * 7 + variant * 101);
        for (std::size_t i = 0; i < d.vrBalasts.size(); ++i)
            d.vrBalasts[i] = static_cast<unsigned char>(i * 3 + variant * 53);
        // Short addresses 0 to 63 and times of eight digits, as a bus that
        // has been addressed and has run a while shows.
        for (int n = 0; n < count; ++n)
            d.vrBalasts[recordSize * n + shortAddressOffset]
                = static_cast<unsigned char>((n * 3 + variant * 5) % 64);
        for (int n = 0; n < 2 * count; ++n)
            putWord(d, startTimeOffset + 4 * n, 10000000u + (n * 7919u + variant * 104729u));
        return d;
    }
    d.vrb[dtrOffset + 5] = static_cast<unsigned char>(variant);
    d.vrb[statusOffset + 40] = static_cast<unsigned char>(0x10 * variant);
    d.vrb[startTimeOffset + 4 * 9] = static_cast<unsigned char>(variant);
    d.vrBalasts[recordSize * 5 + shortAddressOffset] = static_cast<unsigned char>(7 + variant);
    if (change == Change::Wider)
        putWord(d, endTimeOffset + 4 * 20, variant == 1 ? 99999999u : 100000000u);
    return d;
}

void publish(const BallastSnapshot::Data &d)
{
    ballastSnapshot().publishVrb(d.vrb);
    ballastSnapshot().publishVrBalasts(d.vrBalasts);
}

void refresh(bool paint = true)
{
    QMetaObject::invokeMethod(window, "slotVrBalastRefresh");
    // The repaint the change schedules runs on the GUI thread too.
    if (paint)
        QCoreApplication::processEvents();
}

QTextBrowser *browser()
{
    return window->findChild<QTextBrowser *>("textBrowserVrb");
}

void SetHtml(benchmark::State &state, Change change, bool paint)
{
    const BallastSnapshot::Data a = snapshot(1, change);
    const BallastSnapshot::Data b = snapshot(2, change);
    const QString pages[2] = {buildBallastPage(a.vrb.data(), a.vrBalasts.data()).html,
        buildBallastPage(b.vrb.data(), b.vrBalasts.data()).html};
    int i = 0;
    for (auto _ : state) {
        browser()->setHtml(pages[i++ & 1]);
        if (paint)
            QCoreApplication::processEvents();
    }
}

void Refresh(benchmark::State &state, Change change, bool paint)
{
    const BallastSnapshot::Data a = snapshot(1, change);
    const BallastSnapshot::Data b = snapshot(2, change);
    publish(a);
    refresh();
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        publish(i++ & 1 ? a : b);
        state.ResumeTiming();
        refresh(paint);
    }
    QCoreApplication::processEvents();
}

void RefreshAllNew(benchmark::State &state)
{
    publish(snapshot(1, Change::All));
    refresh();
    // Kept across the runs of the case; times keep eight digits up to here.
    static int variant = 1;
    for (auto _ : state) {
        state.PauseTiming();
        variant = variant % 800 + 2;
        publish(snapshot(variant, Change::All));
        state.ResumeTiming();
        refresh();
    }
    QCoreApplication::processEvents();
}

void RefreshSame(benchmark::State &state)
{
    publish(snapshot(1, Change::All));
    refresh();
    for (auto _ : state)
        refresh();
}

// Painting the browser's whole viewport once, for what a refresh that
// changes every cell on screen cannot avoid.
void Repaint(benchmark::State &state)
{
    publish(snapshot(1, Change::All));
    refresh();
    for (auto _ : state) {
        browser()->viewport()->update();
        QCoreApplication::processEvents();
    }
}

void BuildPage(benchmark::State &state)
{
    const BallastSnapshot::Data a = snapshot(1, Change::All);
    for (auto _ : state)
        benchmark::DoNotOptimize(buildBallastPage(a.vrb.data(), a.vrBalasts.data()));
}

} // namespace

// Names as tools/bench/run-benchmarks.py reads them.
void registerAll()
{
    struct Case
    {
        const char *name;
        void (*run)(benchmark::State &, Change, bool);
        Change change;
        bool paint;
    };
    const Case cases[] = {
        {"SetHtml/few", SetHtml, Change::Few, true},
        {"SetHtml/all", SetHtml, Change::All, true},
        {"SetHtml/wider", SetHtml, Change::Wider, true},
        {"RefreshFew", Refresh, Change::Few, true},
        {"RefreshAll", Refresh, Change::All, true},
        {"RefreshWider", Refresh, Change::Wider, true},
        {"SetHtmlNoPaint/few", SetHtml, Change::Few, false},
        {"SetHtmlNoPaint/all", SetHtml, Change::All, false},
        {"SetHtmlNoPaint/wider", SetHtml, Change::Wider, false},
        {"RefreshFewNoPaint", Refresh, Change::Few, false},
        {"RefreshAllNoPaint", Refresh, Change::All, false},
        {"RefreshWiderNoPaint", Refresh, Change::Wider, false},
    };
    for (const Case &c : cases)
        benchmark::RegisterBenchmark(c.name, c.run, c.change, c.paint)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(2);
    benchmark::RegisterBenchmark("RefreshAllNew", RefreshAllNew)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(2);
    benchmark::RegisterBenchmark("RefreshSame", RefreshSame)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1);
    benchmark::RegisterBenchmark("Repaint", Repaint)->Unit(benchmark::kMillisecond)->MinTime(1);
    benchmark::RegisterBenchmark("BuildPage", BuildPage)->Unit(benchmark::kMillisecond)->MinTime(1);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window's own traffic would only disturb the measurement.
    kelto::emu::reset();
    kelto::emu::removeAllDevices();
    // Trace lines to a terminal would be timed with the refresh.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QApplication app(argc, argv);
    auto w = std::make_unique<Darvo_bootloader>();
    window = w.get();
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get()))
        return 1;
    // The ballast tab on screen, its polling switched off again.
    w->findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QMetaObject::invokeMethod(window, "slotTabChanged", Q_ARG(int, 0));
    // The browser as the window's view sets it up, for the baseline too.
    refresh();

    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    w->close();
    return 0;
}
