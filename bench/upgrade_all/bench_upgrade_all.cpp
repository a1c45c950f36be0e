// kelto-cli upgrade --all on a tray of converters against kelto-cli upgrade
// on one, each run in a fresh test bed with the realistic timing model (each
// converter keeps its own time), wall time of the whole program.
//
//   One        baseline: upgrade of one converter, from its application
//   All/8      upgrade --all of eight converters, all in their application;
//              its "ratio" counter is its wall time / One's, target <= 1.10
//   All/16     the same with sixteen, target <= 1.15
//
// Take the median of three runs and note the machine's load
// (/proc/loadavg) beside it: on a shared machine the ratios move with it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

double oneMs = 0;

// Runs the bed with `count` converters and kelto-cli's arguments; the wall
// time in milliseconds, or a negative number when it failed.
double runBed(int count, const std::string &arguments)
{
    std::string command = std::string(KELTO_TESTBED) + " --timing realistic";
    for (int i = 1; i <= count; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "BEN%06d", i);
        command += std::string(" --converter serial=") + serial + ",mode=application";
    }
    command += std::string(" -- ") + KELTO_CLI + " " + arguments + " " + KELTO_UPGRADE_FILE
        + " > /dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    const auto end = std::chrono::steady_clock::now();
    if (status != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(end - start).count();
}

void One(benchmark::State &state)
{
    for (auto _ : state) {
        const double ms = runBed(1, "upgrade");
        if (ms < 0) {
            state.SkipWithError("the upgrade failed");
            return;
        }
        oneMs = ms;
        state.SetIterationTime(ms / 1000.0);
    }
}

void All(benchmark::State &state)
{
    const int count = int(state.range(0));
    for (auto _ : state) {
        const double ms = runBed(count, "upgrade --all");
        if (ms < 0) {
            state.SkipWithError("upgrade --all failed");
            return;
        }
        state.SetIterationTime(ms / 1000.0);
        if (oneMs > 0)
            state.counters["ratio"] = ms / oneMs;
    }
}

} // namespace

BENCHMARK(One)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(All)->Arg(8)->Arg(16)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
