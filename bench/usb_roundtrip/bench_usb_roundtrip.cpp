// Host-side cost of one 2048-byte memory page round trip (WritePage, a
// ReadMemory read-back and the compare) against the zero-latency emulated
// converter, next to a plain memcpy + memcmp of the same bytes measured in
// the same run. The ratio is printed at the end.
#include "emulator.h"
#include "usbmirel.h"

#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace emu = kelto::emu;

namespace {

void discard(QtMsgType, const QMessageLogContext &, const QString &) { }

std::vector<unsigned char> plainPage()
{
    std::vector<unsigned char> p(2048);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = static_cast<unsigned char>(i * 31 + 7);
    return p;
}

// Argument 1: the trace lines are formatted and handed to a message handler
// that drops them (the program's normal cost); 0: debug output switched off.
void BM_PageRoundTrip(benchmark::State &state)
{
    const bool traced = state.range(0) != 0;
    QLoggingCategory::setFilterRules(traced ? "default.debug=true" : "default.debug=false");
    emu::reset();
    emu::setTransferLogging(false);
    emu::setMode(emu::Mode::Bootloader);
    USBMIREL dev;
    dev.connect();
    const auto plain = plainPage();
    std::vector<unsigned char> page(2048), back(2048);
    bool allEqual = true;
    for (auto _ : state) {
        std::memcpy(page.data(), plain.data(), 2048);
        const int w = dev.WritePage(page.data(), 0x08004000);
        const int r = dev.ReadMemory(back.data(), 0x08004000, 2048);
        bool equal = w == 0 && r == 0 && std::memcmp(back.data(), plain.data(), 2048) == 0;
        allEqual = allEqual && equal;
        benchmark::DoNotOptimize(equal);
    }
    if (!allEqual)
        state.SkipWithError("read-back differs");
    state.SetBytesProcessed(int64_t(state.iterations()) * 2048);
}
BENCHMARK(BM_PageRoundTrip)->Arg(1)->Arg(0);

void BM_MemcpyMemcmp(benchmark::State &state)
{
    const auto plain = plainPage();
    std::vector<unsigned char> copy(2048);
    for (auto _ : state) {
        std::memcpy(copy.data(), plain.data(), 2048);
        benchmark::ClobberMemory();
        bool equal = std::memcmp(copy.data(), plain.data(), 2048) == 0;
        benchmark::DoNotOptimize(equal);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2048);
}
BENCHMARK(BM_MemcpyMemcmp);

// A run that ended in an error: `skipped` (an enum) from benchmark 1.8 on,
// `error_occurred` before.
template<class R> auto failed(const R &run, int) -> decltype(int(run.skipped), bool())
{
    return int(run.skipped) != 0;
}
template<class R> bool failed(const R &run, long)
{
    return run.error_occurred;
}

// Keeps the per-iteration times of every run for the closing ratios. CPU
// time is the steadier figure on a loaded machine; both are printed.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // Single runs by name; with repetitions, the medians.
        for (const Run &run : runs) {
            if (failed(run, 0))
                continue;
            if (run.run_type == Run::RT_Iteration && run.repetitions <= 1)
                times[run.run_name.str()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
            else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                times[run.run_name.str()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    struct Times
    {
        double real;
        double cpu;
    };
    std::map<std::string, Times> times;
};

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(discard);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto &t = reporter.times;
    const auto base = t.find("BM_MemcpyMemcmp");
    if (base != t.end() && base->second.real > 0 && base->second.cpu > 0)
        for (const auto &[name, v] : t)
            if (name.rfind("BM_PageRoundTrip", 0) == 0)
                std::printf("%s: per page round trip %.0f ns CPU = %.1f x memcpy+memcmp (%.1f ns);"
                            " real %.0f ns = %.1f x (%.1f ns)\n",
                    name.c_str(), v.cpu, v.cpu / base->second.cpu, base->second.cpu, v.real,
                    v.real / base->second.real, base->second.real);
    benchmark::Shutdown();
    return 0;
}
