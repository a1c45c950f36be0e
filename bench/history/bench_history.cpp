// The upgrade history under a factory's load and inside one upgrade.
//
//   Serial/B        baseline: one process writing 3200 entries (each one
//                   created, then completed, as a run does) into store B
//                   (0: an SQLite file, 1: a PostgreSQL server of its own)
//   Parallel/B      16 processes x 200 entries at once into one store B;
//                   counters: entries_per_s, lost (entries missing or never
//                   completed) and lock_errors (writes that failed), whose
//                   sum lost_and_errors has to be 0
//   UpgradeModel    baseline: one upgrade from the application, realistic
//                   device timing on the emulator's virtual clock (the
//                   model's minimum wall time, ms)
//   UpgradeCost/B   what the history adds to one kelto-cli upgrade: the
//                   store opened, the file's SHA-256, the entry created and
//                   completed, on a store holding 3200 entries, against
//                   UpgradeModel: target under 1%
#include "benchupgradefile.h"
#include "delay.h"
#include "emulator.h"
#include "historystore.h"
#include "postgresserver.h"
#include "upgrader.h"
#include "usbmirel.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace emu = kelto::emu;
using namespace kelto::history;

namespace {

constexpr int processes = 16;
constexpr int perProcess = 200;

QTemporaryDir *dir = nullptr;
kelto::test::PostgresServer *postgres = nullptr;
QString upgradeFile;
double upgradeModelMs = 0;
int databases = 0;

// A fresh store of the kind: an SQLite file or a database of the server.
QString freshStore(int kind)
{
    const QString name = QString("bench%1").arg(++databases);
    if (kind == 0)
        return dir->filePath(name + ".sqlite");
    return postgres->createDatabase(name);
}

// The writer process: `count` entries into `location`; the exit code is
// the number of writes that failed, and each failure is printed.
int writer(const QString &location, int count)
{
    QString error;
    const auto where = parseLocation(location, &error);
    if (!where)
        return count;
    Store store(*where);
    const Origin origin = Origin::current("bench");
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto id = store.beginUpgrade({"bench.upg", "00", "bus 001 device 002", ""}, origin);
        if (!id || !store.finishUpgrade(*id, {{"success", true}}, true, "BEN000001")) {
            ++failures;
            std::fprintf(stderr, "%s\n", qPrintable(store.error()));
        }
    }
    return failures;
}

// Runs `count` writer processes at once; the failed writes, or -1 when a
// process did not run.
int runWriters(const QString &location, int count, int each)
{
    std::vector<std::unique_ptr<QProcess>> running;
    for (int i = 0; i < count; ++i) {
        running.push_back(std::make_unique<QProcess>());
        running.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        running.back()->start(
            QCoreApplication::applicationFilePath(), {"--writer", location, QString::number(each)});
    }
    int failures = 0;
    for (auto &p : running) {
        if (!p->waitForFinished(600000) || p->exitStatus() != QProcess::NormalExit)
            return -1;
        failures += p->exitCode();
    }
    return failures;
}

void writers(benchmark::State &state, int count, int each)
{
    const int kind = int(state.range(0));
    if (kind == 1 && !postgres->running()) {
        state.SkipWithError(qPrintable(postgres->problem()));
        return;
    }
    for (auto _ : state) {
        const QString location = freshStore(kind);
        // The schema is made once before the clock starts, as on a station
        // that has run before.
        QString error;
        if (location.isEmpty() || !Store(*parseLocation(location, &error)).isOpen()) {
            state.SkipWithError("the store cannot be opened");
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        const int failures = runWriters(location, count, each);
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        Store store(*parseLocation(location, &error), Store::Mode::ReadOnly);
        const auto entries = store.upgrades(QString(), QDateTime());
        if (failures < 0 || !entries) {
            state.SkipWithError("a writer did not run, or the store cannot be read");
            return;
        }
        int completed = 0;
        for (const UpgradeEntry &e : *entries)
            completed += e.status() == "ok";
        const int lost = count * each - completed;
        state.counters["entries_per_s"] = count * each / seconds;
        state.counters["lost"] = lost;
        state.counters["lock_errors"] = failures;
        state.counters["lost_and_errors"] = lost + failures;
    }
}

void Serial(benchmark::State &state)
{
    writers(state, 1, processes * perProcess);
}

void Parallel(benchmark::State &state)
{
    writers(state, processes, perProcess);
}

void UpgradeModel(benchmark::State &state)
{
    kelto::setSleepFunction(emu::virtualSleep);
    for (auto _ : state) {
        emu::reset();
        emu::setTiming(emu::Timing::realistic());
        USBMIREL device;
        Upgrader upgrader(&device);
        upgrader.slotSetFileName(upgradeFile);
        upgrader.start();
        upgrader.wait();
        if (!upgrader.outcome().success)
            state.SkipWithError("the upgrade failed");
        upgradeModelMs = double(emu::nowMs());
        state.SetIterationTime(upgradeModelMs / 1000.0);
    }
    kelto::setSleepFunction(nullptr);
}

void UpgradeCost(benchmark::State &state)
{
    const int kind = int(state.range(0));
    if (kind == 1 && !postgres->running()) {
        state.SkipWithError(qPrintable(postgres->problem()));
        return;
    }
    const QString location = freshStore(kind);
    if (runWriters(location, 1, processes * perProcess) != 0) {
        state.SkipWithError("the store cannot be filled");
        return;
    }
    for (auto _ : state) {
        // As kelto-cli upgrade does it, a process of its own opening the
        // store once per run.
        UpgradeStart start;
        start.file = upgradeFile;
        start.fileSha256 = fileSha256(upgradeFile);
        QString error;
        Store store(*parseLocation(location, &error));
        const auto id = store.beginUpgrade(start, Origin::current("bench"));
        if (!id || !store.finishUpgrade(*id, {{"success", true}}, true, "BEN000001")) {
            state.SkipWithError(qPrintable(store.error()));
            return;
        }
    }
}

} // namespace

BENCHMARK(Serial)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Parallel)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(UpgradeModel)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(UpgradeCost)->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);

void discardDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The upgrade's trace of every transfer.
    qInstallMessageHandler(discardDebug);
    if (argc == 4 && std::string(argv[1]) == "--writer")
        return writer(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    QTemporaryDir temporary;
    dir = &temporary;
    upgradeFile = writeBenchUpgradeFile(dir->filePath("bench.upg"), 0x9E3779B9u);
    kelto::test::PostgresServer server(true);
    postgres = &server;
    if (!server.running())
        std::fprintf(stderr, "PostgreSQL rows skipped: %s\n", qPrintable(server.problem()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
