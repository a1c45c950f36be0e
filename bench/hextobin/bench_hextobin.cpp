// Whole-process conversion of one large generated HEX file: our converter
// against objcopy, in the same run on the same file, so that the ratio of
// the two bytes_per_second figures is what counts.
#include "hexwriter.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr uint32_t base = 0x08000000;
constexpr int dataSize = 14 << 20; // about 40 MB of HEX text

struct Input
{
    std::string hex;
    std::string ours;
    std::string theirs;
    qint64 hexBytes = 0;
    bool ready = false;
};

const Input &input()
{
    static const Input in = [] {
        Input i;
        const QString dir = QDir::tempPath();
        i.hex = (dir + "/kelto_bench_large.hex").toStdString();
        i.ours = (dir + "/kelto_bench_ours.bin").toStdString();
        i.theirs = (dir + "/kelto_bench_objcopy.bin").toStdString();
        kelto::hexgen::HexWriter hex(16, "\r\n");
        QByteArray data(dataSize, '\0');
        uint32_t x = 12345;
        for (char &c : data) {
            x = x * 1103515245u + 12345u;
            c = char(x >> 23);
        }
        data[data.size() - 1] = char(0x5A); // objcopy stops at the last byte
        hex.data(base, data);
        hex.startLinear(base);
        hex.end();
        QFile f(QString::fromStdString(i.hex));
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && f.write(hex.text()) == hex.text().size()) {
            i.hexBytes = hex.text().size();
            i.ready = true;
        }
        return i;
    }();
    return in;
}

bool run(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> oursCommand(const Input &in)
{
    char high[16];
    std::snprintf(high, sizeof high, "0x%08X", unsigned(base + dataSize - 1));
    return {KELTO_HEX2BIN_PATH, in.hex, in.ours, "0x08000000", high};
}

std::vector<std::string> objcopyCommand(const Input &in)
{
    return {"objcopy", "-I", "ihex", "-O", "binary", in.hex, in.theirs};
}

void measure(benchmark::State &state, const std::vector<std::string> &command)
{
    const Input &in = input();
    if (!in.ready) {
        state.SkipWithError("cannot write the input file");
        return;
    }
    for (auto _ : state) {
        if (!run(command)) {
            state.SkipWithError("conversion failed");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * in.hexBytes);
    state.counters["hex_MB"] = double(in.hexBytes) / 1e6;
}

void BM_Hex2BinProcess(benchmark::State &state)
{
    measure(state, oursCommand(input()));
}

void BM_ObjcopyProcess(benchmark::State &state)
{
    measure(state, objcopyCommand(input()));
}

// Both outputs must be the same bytes, or the comparison means nothing.
void BM_OutputsAgree(benchmark::State &state)
{
    const Input &in = input();
    for (auto _ : state) {
        if (!run(oursCommand(in)) || !run(objcopyCommand(in))) {
            state.SkipWithError("conversion failed");
            return;
        }
        QFile a(QString::fromStdString(in.ours)), b(QString::fromStdString(in.theirs));
        if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)
            || a.readAll() != b.readAll()) {
            state.SkipWithError("outputs differ");
            return;
        }
    }
}

} // namespace

BENCHMARK(BM_OutputsAgree)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Hex2BinProcess)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ObjcopyProcess)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
