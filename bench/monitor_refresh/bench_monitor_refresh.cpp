// What one ballast page refresh costs the GUI thread, the repaint it causes
// included, in the real window with the ballast tab on screen:
//   SetHtml        the baseline, a plain setHtml of the page into the browser
//   RefreshFew     the window's refresh after four cells changed
//   RefreshAll     the window's refresh after every value changed
//   RefreshSame    the window's refresh of an unchanged snapshot
//   BuildPage      building the page text alone
// The ...NoPaint variants leave the repaint out. Each changing case
// alternates between two snapshots, so every iteration sees a change.
// Compare the cases as ratios to SetHtml of the same run.
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

BallastSnapshot::Data snapshot(int variant, bool everyValue)
{
    BallastSnapshot::Data d;
    if (everyValue) {
        for (std::size_t i = 0; i < d.vrb.size(); ++i)
            d.vrb[i] = static_cast<unsigned char>(i * 7 + variant * 101);
        for (std::size_t i = 0; i < d.vrBalasts.size(); ++i)
            d.vrBalasts[i] = static_cast<unsigned char>(i * 3 + variant * 53);
    } else {
        d.vrb[24 + 5] = static_cast<unsigned char>(variant); // DTR
        d.vrb[156 + 40] = static_cast<unsigned char>(0x10 * variant); // STATUS
        d.vrb[348 + 4 * 9] = static_cast<unsigned char>(variant); // start_time
        d.vrBalasts[28 * 9 + 5] = static_cast<unsigned char>(7 + variant); // short address
    }
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

void SetHtml(benchmark::State &state, bool everyValue, bool paint)
{
    const BallastSnapshot::Data a = snapshot(1, everyValue);
    const BallastSnapshot::Data b = snapshot(2, everyValue);
    const QString pages[2] = {buildBallastPage(a.vrb.data(), a.vrBalasts.data()).html,
        buildBallastPage(b.vrb.data(), b.vrBalasts.data()).html};
    int i = 0;
    for (auto _ : state) {
        browser()->setHtml(pages[i++ & 1]);
        if (paint)
            QCoreApplication::processEvents();
    }
}

void Refresh(benchmark::State &state, bool everyValue, bool paint)
{
    const BallastSnapshot::Data a = snapshot(1, everyValue);
    const BallastSnapshot::Data b = snapshot(2, everyValue);
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

void RefreshSame(benchmark::State &state)
{
    publish(snapshot(1, true));
    refresh();
    for (auto _ : state)
        refresh();
}

void BuildPage(benchmark::State &state)
{
    const BallastSnapshot::Data a = snapshot(1, true);
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
        void (*run)(benchmark::State &, bool, bool);
        bool everyValue;
        bool paint;
    };
    const Case cases[] = {
        {"SetHtml/few", SetHtml, false, true},
        {"SetHtml/all", SetHtml, true, true},
        {"RefreshFew", Refresh, false, true},
        {"RefreshAll", Refresh, true, true},
        {"SetHtmlNoPaint/few", SetHtml, false, false},
        {"SetHtmlNoPaint/all", SetHtml, true, false},
        {"RefreshFewNoPaint", Refresh, false, false},
        {"RefreshAllNoPaint", Refresh, true, false},
    };
    for (const Case &c : cases)
        benchmark::RegisterBenchmark(c.name, c.run, c.everyValue, c.paint)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(2);
    benchmark::RegisterBenchmark("RefreshSame", RefreshSame)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1);
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

    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    w->close();
    return 0;
}
