// How late the window's event loop gets to its work while a firmware change
// runs (realistic device timing, real waits) and the ballast tab polls and
// refreshes. A 2 ms precise timer probes the loop; each tick's lateness
// over its interval is one sample.
//
//   Idle            baseline: the window alone, Settings tab
//   PollingOnly     the ballast tab shown, polling and refreshing
//   UpgradePolling  a firmware change from the window while the ballast tab
//                   polls; p99 has to stay under 16 ms
//
// Run with QT_QPA_PLATFORM=offscreen where there is no display.
#include "../upgrade/benchupgradefile.h"
#include "choosefile.h"
#include "darvo_bootloader.h"
#include "emulator.h"
#include "flashimage.h"
#include "upgradefile.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace emu = kelto::emu;

namespace {

QString file;
constexpr int probeMs = 2;

void discardDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

QString makeUpgradeFile(const QString &path)
{
    return writeBenchUpgradeFile(path, 0x2545F491u);
}

// Lateness of a precise timer, sampled while the event loop runs.
class Probe
{
public:
    Probe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 ns = clock.nsecsElapsed();
            if (last >= 0)
                samples.push_back(std::max<double>(0, double(ns - last) / 1e6 - probeMs));
            last = ns;
        });
        clock.start();
        timer.start(probeMs);
    }
    void report(benchmark::State &state)
    {
        timer.stop();
        std::sort(samples.begin(), samples.end());
        auto at = [this](double q) {
            return samples.empty() ? 0.0 : samples[size_t(q * double(samples.size() - 1))];
        };
        state.counters["p50_ms"] = at(0.50);
        state.counters["p99_ms"] = at(0.99);
        state.counters["max_ms"] = samples.empty() ? 0.0 : samples.back();
        state.counters["samples"] = double(samples.size());
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = -1;
    std::vector<double> samples;
};

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void prepareDevice()
{
    emu::reset();
    emu::setTiming(emu::Timing::realistic());
    emu::setClockMode(emu::ClockMode::Real);
}

void Idle(benchmark::State &state)
{
    prepareDevice();
    Darvo_bootloader w;
    w.show();
    spin(200);
    for (auto _ : state) {
        Probe probe;
        spin(5000);
        probe.report(state);
    }
}

void PollingOnly(benchmark::State &state)
{
    prepareDevice();
    Darvo_bootloader w;
    w.show();
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    spin(200);
    for (auto _ : state) {
        Probe probe;
        spin(5000);
        probe.report(state);
    }
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(0);
}

void UpgradePolling(benchmark::State &state)
{
    prepareDevice();
    Darvo_bootloader w;
    w.show();
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    spin(200);
    auto *txt = w.findChild<QTextEdit *>("txt");
    auto *chf = w.findChild<QAbstractButton *>("pushButtonCHF");
    for (auto _ : state) {
        Probe probe;
        // The operator's part: the click, then the file in the dialog.
        QTimer answer;
        bool asked = false;
        QObject::connect(&answer, &QTimer::timeout, [&answer, &asked] {
            // Answered once it is on screen: accepted before its own event
            // loop runs, exec() would show it again and wait for ever. Should
            // it refuse the file, it stays open and is answered again on the
            // next tick.
            auto *fd = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (fd && fd->isVisible()) {
                asked = true;
                kelto::test::chooseFile(fd, file);
            } else if (asked && !fd) {
                answer.stop();
            }
        });
        answer.start(20);
        QTimer::singleShot(0, chf, [chf] { chf->click(); });
        QElapsedTimer t;
        t.start();
        bool done = false;
        while (!done && t.elapsed() < 60000) {
            spin(100);
            const QStringList lines = txt->toPlainText().split('\n');
            done = lines.size() >= 2 && lines.last() == "OK"
                && lines.at(lines.size() - 2) == "Verify External Flash ...  ";
        }
        spin(1500); // the restart after the last line
        probe.report(state);
        state.counters["upgrade_s"] = double(t.elapsed()) / 1000.0;
        if (!done)
            state.SkipWithError("upgrade did not complete");
    }
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(0);
}

} // namespace

BENCHMARK(Idle)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(PollingOnly)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(UpgradePolling)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    qInstallMessageHandler(discardDebug);
    QTemporaryDir dir;
    file = makeUpgradeFile(dir.filePath("gui.upg"));
    if (file.isEmpty())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
