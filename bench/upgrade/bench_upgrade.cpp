// A whole upgrade (from application mode) against the emulated converter.
//
//   ReadAndDecode        baseline: reading and decoding the upgrade file
//                        alone, the one piece of host work every run does
//   ZeroLatency          the full upgrade with a zero-latency device and the
//                        fixed waits on the emulator's virtual clock: all
//                        that is left is host overhead (wall and process CPU)
//   ModelMinimum         the same with the realistic timing model, still in
//                        virtual time: the clock at the end is the model's
//                        own minimum (device time plus fixed waits)
//   Realistic            the same on the real clock with real waits; its
//                        "ratio" counter is wall time / ModelMinimum's
//                        minimum, which has to stay at or below 1.02
//   CliRealistic         kelto-cli's upgrade (waits polled, start confirmed)
//                        on the real clock, a new firmware from application
//                        mode: wall time against device_min_ms, the device's
//                        own minimum for the transfers the run made
//                        (transfers x link time, pages x programming time,
//                        external chunks x their programming time,
//                        restarts x re-enumeration time; target 1.05).
//                        Realistic reports the same minimum for its run:
//                        the window's written waits, the baseline
//   SkipUnchanged        upgrade --skip-unchanged of the firmware the
//                        converter already runs (target 0.35 x CliRealistic)
//   SkipOnePage          --skip-unchanged of a firmware one application page
//                        away from the converter's: page_writes (target at
//                        most 3), failing unless the new firmware is in place
//   UsbfsRealistic       the same Upgrader, in a program linked to the system
//                        libusb-0.1 (kelto-bench-upgrade), under
//                        kelto-testbed with realistic timing: the upgrade's
//                        duration against ModelMinimum's minimum (target 1.03)
//   UsbfsCli             kelto-cli itself under kelto-testbed, realistic: an
//                        upgrade (full_ms, against CliRealistic's
//                        device_min_ms), then --skip-unchanged of the same
//                        file on the same converter (skip_ms, against full_ms)
//   UsbfsZeroLatency     the same with a zero-latency device: host_ms is the
//                        duration less the fixed waits, the host's own cost
//                        over usbfs, against ZeroLatency in process
//   UsbfsParallelPages/N N converters in their bootloaders, one process per
//                        converter programming 24 pages at once, realistic
//                        timing (wall time of the whole bed); N = 1 is the
//                        baseline of N = 8 and 16
#include "benchupgradefile.h"
#include "delay.h"
#include "emulator.h"
#include "flashimage.h"
#include "upgradefile.h"
#include "upgrader.h"
#include "usbmirel.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace emu = kelto::emu;

namespace {

QTemporaryDir *dir = nullptr;
QString file;
std::atomic<uint64_t> fixedWaitsMs {0};
double modelMinimumMs = 0;
double modelFixedWaitsMs = 0; // one run's, from ModelMinimum

void discardDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The trace is formatted as in the program; only the terminal is spared.
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

void countingVirtualSleep(unsigned long ms)
{
    fixedWaitsMs += ms;
    emu::virtualSleep(ms);
}

void countingRealSleep(unsigned long ms)
{
    fixedWaitsMs += ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

QString makeUpgradeFile()
{
    return writeBenchUpgradeFile(dir->filePath("bench.upg"), 0x9E3779B9u);
}

// The device's own minimum for the transfers logged: what the run cannot
// go below on this timing model, whatever the host does.
double deviceMinimumMs(const emu::Timing &t)
{
    double us = 0;
    for (const emu::TransferRecord &r : emu::transferLog()) {
        if (r.lengthReturned < 0)
            continue;
        const int length = r.requestType == 0x80 ? r.lengthReturned : r.lengthAsked;
        us += t.transferOverheadUs + double(length) * t.nsPerByte / 1000;
        if (r.requestType != 0x40)
            continue;
        if (r.request == 3)
            us += t.pageProgramUs;
        else if (r.request == 6)
            us += t.externalWriteUs;
        else if (r.request == 4)
            us += double(t.reenumerationMs) * 1000;
    }
    return us / 1000;
}

// One upgrade as kelto-cli runs it; true when it succeeded and the device
// runs the file's application.
bool cliUpgradeOnce(const QString &path, bool skipUnchanged)
{
    USBMIREL device;
    Upgrader upgrader(&device);
    Upgrader::Options options;
    options.confirmStart = true;
    options.mismatchDumps = false;
    options.waits = kelto::upgrade::WaitPolicy::Kind::Polled;
    options.skipUnchanged = skipUnchanged;
    upgrader.setOptions(options);
    upgrader.slotSetFileName(path);
    upgrader.start();
    upgrader.wait();
    return upgrader.outcome().success && emu::mode() == emu::Mode::Application
        && emu::applicationValid();
}

// The device holds `path`'s firmware, put there in virtual time.
bool holdFirmware(const QString &path)
{
    emu::reset();
    kelto::setSleepFunction(emu::virtualSleep);
    kelto::setClockFunction(emu::nowMs);
    const bool ok = cliUpgradeOnce(path, false);
    kelto::setSleepFunction(nullptr);
    kelto::setClockFunction(nullptr);
    return ok;
}

QString onePageAway; // `file` with one application page changed
double cliWallMs = 0;

// One upgrade on a fresh device object; false unless it ran to its end.
bool upgradeOnce()
{
    USBMIREL device;
    Upgrader upgrader(&device);
    std::atomic<bool> done {false};
    QObject::connect(&upgrader, &Upgrader::sendText, [&done](const QString &s) {
        if (s == "Verify External Flash ...  ")
            done = true;
    });
    upgrader.slotSetFileName(file);
    upgrader.start();
    upgrader.wait();
    return done && emu::mode() == emu::Mode::Application && emu::applicationValid();
}

void ReadAndDecode(benchmark::State &state)
{
    for (auto _ : state) {
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        QByteArray image;
        benchmark::DoNotOptimize(kelto::upgradefile::read(f, image));
        benchmark::DoNotOptimize(image.data());
    }
}

void ZeroLatency(benchmark::State &state)
{
    kelto::setSleepFunction(countingVirtualSleep);
    for (auto _ : state) {
        state.PauseTiming();
        emu::reset();
        state.ResumeTiming();
        if (!upgradeOnce())
            state.SkipWithError("upgrade failed");
    }
    kelto::setSleepFunction(nullptr);
    state.counters["transfers"] = double(emu::transferLog().size());
}

void ModelMinimum(benchmark::State &state)
{
    kelto::setSleepFunction(countingVirtualSleep);
    for (auto _ : state) {
        state.PauseTiming();
        emu::reset();
        emu::setTiming(emu::Timing::realistic());
        fixedWaitsMs = 0;
        state.ResumeTiming();
        if (!upgradeOnce())
            state.SkipWithError("upgrade failed");
    }
    kelto::setSleepFunction(nullptr);
    modelMinimumMs = double(emu::nowMs());
    state.counters["minimum_ms"] = modelMinimumMs;
    modelFixedWaitsMs = double(fixedWaitsMs.load());
    state.counters["fixed_waits_ms"] = modelFixedWaitsMs;
}

void Realistic(benchmark::State &state)
{
    kelto::setSleepFunction(countingRealSleep);
    double wallMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        emu::reset();
        emu::setTiming(emu::Timing::realistic());
        emu::setClockMode(emu::ClockMode::Real);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        if (!upgradeOnce())
            state.SkipWithError("upgrade failed");
        wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                      .count();
    }
    kelto::setSleepFunction(nullptr);
    emu::setClockMode(emu::ClockMode::Virtual);
    const double perRun = wallMs / double(state.iterations());
    state.counters["wall_ms"] = perRun;
    state.counters["device_min_ms"] = deviceMinimumMs(emu::Timing::realistic());
    if (modelMinimumMs > 0)
        state.counters["ratio"] = perRun / modelMinimumMs;
}

// A run of kelto-cli's upgrade on the real clock and the realistic model,
// from `held` (or the device as reset leaves it); its wall time.
double cliRealRunMs(benchmark::State &state, const QString &held, const QString &path, bool skip)
{
    state.PauseTiming();
    if (held.isEmpty())
        emu::reset();
    else if (!holdFirmware(held))
        state.SkipWithError("the firmware to start from could not be put in place");
    emu::setTiming(emu::Timing::realistic());
    emu::setClockMode(emu::ClockMode::Real);
    emu::clearTransferLog();
    state.ResumeTiming();
    const auto t0 = std::chrono::steady_clock::now();
    if (!cliUpgradeOnce(path, skip))
        state.SkipWithError("upgrade failed");
    const double ms
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    emu::setClockMode(emu::ClockMode::Virtual);
    return ms;
}

void CliRealistic(benchmark::State &state)
{
    double wallMs = 0;
    for (auto _ : state)
        wallMs += cliRealRunMs(state, QString(), file, false);
    cliWallMs = wallMs / double(state.iterations());
    state.counters["device_min_ms"] = deviceMinimumMs(emu::Timing::realistic());
    state.counters["page_writes"] = double(emu::transferLog(3).size());
}

void SkipUnchanged(benchmark::State &state)
{
    double wallMs = 0;
    for (auto _ : state)
        wallMs += cliRealRunMs(state, file, file, true);
    state.counters["page_writes"] = double(emu::transferLog(3).size());
    if (cliWallMs > 0)
        state.counters["ratio"] = wallMs / double(state.iterations()) / cliWallMs;
}

void SkipOnePage(benchmark::State &state)
{
    for (auto _ : state) {
        cliRealRunMs(state, file, onePageAway, true);
        // In place and verified: every application byte as the file has it.
        QFile f(onePageAway);
        QByteArray image;
        if (!f.open(QIODevice::ReadOnly)
            || kelto::upgradefile::read(f, image) != kelto::upgradefile::ReadStatus::Ok)
            state.SkipWithError("the file cannot be read back");
        const std::vector<uint8_t> flash = emu::flash();
        const QByteArray app
            = image.mid(int(kelto::flash::applicationOffset), int(kelto::flash::applicationSize));
        if (std::memcmp(flash.data() + (emu::applicationBase - emu::flashBase), app.constData(),
                size_t(app.size()))
            != 0)
            state.SkipWithError("the new firmware is not in place");
    }
    state.counters["page_writes"] = double(emu::transferLog(3).size());
    state.counters["chunk_writes"] = double(emu::transferLog(6).size());
}

// Runs a command, returns its exit status and its standard output.
int runCommand(const std::string &command, std::string &out)
{
    out.clear();
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return pclose(p);
}

// One upgrade by the Upgrader with the system libusb-0.1 under the test
// bed; its duration in milliseconds, or a negative number when it failed.
double usbfsUpgradeMs(const char *timing)
{
    std::string out;
    const std::string command = std::string(KELTO_TESTBED) + " --timing " + timing
        + " --converter serial=BENCH0001 -- " + KELTO_UPGRADE + " '" + file.toStdString()
        + "' 2>/dev/null";
    if (runCommand(command, out) != 0 || out.empty())
        return -1;
    return std::atof(out.c_str());
}

void UsbfsRealistic(benchmark::State &state)
{
    double sum = 0;
    for (auto _ : state) {
        const double ms = usbfsUpgradeMs("realistic");
        if (ms < 0) {
            state.SkipWithError("upgrade over usbfs failed");
            return;
        }
        state.SetIterationTime(ms / 1000);
        sum += ms;
    }
    if (modelMinimumMs > 0)
        state.counters["ratio"] = sum / double(state.iterations()) / modelMinimumMs;
}

// The duration_ms of each JSON record in `out`, in order.
std::vector<double> durations(const std::string &out)
{
    std::vector<double> ms;
    const std::string key = "\"duration_ms\":";
    for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1))
        ms.push_back(std::atof(out.c_str() + at + key.size()));
    return ms;
}

void UsbfsCli(benchmark::State &state)
{
    const std::string cli = std::string(KELTO_CLI) + " upgrade --json ";
    const std::string command = std::string(KELTO_TESTBED)
        + " --timing realistic --converter serial=BENCH0001 -- sh -c \"" + cli + "'"
        + file.toStdString() + "' | tail -n 1 && " + cli + "--skip-unchanged '" + file.toStdString()
        + "' | tail -n 1\" 2>/dev/null";
    double full = 0, skip = 0;
    for (auto _ : state) {
        std::string out;
        const std::vector<double> ms
            = runCommand(command, out) == 0 ? durations(out) : std::vector<double>();
        if (ms.size() != 2 || out.find("\"success\":false") != std::string::npos) {
            state.SkipWithError("kelto-cli upgrade under the test bed failed");
            return;
        }
        state.SetIterationTime((ms[0] + ms[1]) / 1000);
        full += ms[0];
        skip += ms[1];
    }
    state.counters["full_ms"] = full / double(state.iterations());
    state.counters["skip_ms"] = skip / double(state.iterations());
}

void UsbfsZeroLatency(benchmark::State &state)
{
    double hostMs = 0;
    for (auto _ : state) {
        const double ms = usbfsUpgradeMs("zero");
        if (ms < 0) {
            state.SkipWithError("upgrade over usbfs failed");
            return;
        }
        state.SetIterationTime(ms / 1000);
        hostMs += ms - modelFixedWaitsMs;
    }
    state.counters["host_ms"] = hostMs / double(state.iterations());
    state.counters["fixed_waits_ms"] = modelFixedWaitsMs;
}

void UsbfsParallelPages(benchmark::State &state)
{
    const int units = int(state.range(0));
    std::string bed = std::string(KELTO_TESTBED) + " --timing realistic";
    std::string script;
    for (int i = 1; i <= units; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "PAR%06d", i);
        bed += std::string(" --converter serial=") + serial + ",mode=bootloader";
        script += std::string(KELTO_PAGEWRITER) + " " + serial + " 24 & p=\"$p $!\"; ";
    }
    const std::string command
        = bed + " -- sh -c 'ok=0; " + script + "for j in $p; do wait $j || ok=1; done; exit $ok'";
    for (auto _ : state) {
        std::string out;
        const auto t0 = std::chrono::steady_clock::now();
        if (runCommand(command, out) != 0) {
            state.SkipWithError("a converter was not programmed");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
}

} // namespace

BENCHMARK(ReadAndDecode)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(ZeroLatency)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(ModelMinimum)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(Realistic)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(CliRealistic)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(SkipUnchanged)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(SkipOnePage)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(UsbfsRealistic)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();
BENCHMARK(UsbfsCli)->Unit(benchmark::kMillisecond)->Iterations(2)->UseManualTime();
BENCHMARK(UsbfsZeroLatency)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
BENCHMARK(UsbfsParallelPages)
    ->Arg(1)
    ->Arg(8)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseManualTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(discardDebug);
    QTemporaryDir tmp;
    dir = &tmp;
    file = makeUpgradeFile();
    onePageAway = writeBenchUpgradeFile(dir->filePath("onepage.upg"), 0x9E3779B9u, 17);
    if (file.isEmpty() || onePageAway.isEmpty())
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
