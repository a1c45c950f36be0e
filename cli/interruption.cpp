#include "interruption.h"

#include "upgradeall.h"
#include "upgrader.h"

#include <atomic>
#include <csignal>

#ifdef Q_OS_UNIX
#include <signal.h>
#include <sys/types.h>
#endif

#ifndef SIGHUP
#define SIGHUP 1 // not raised where it does not exist
#endif

namespace kelto::cli {

namespace {

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Touched from the signal handler: lock-free atomics only.
std::atomic<Upgrader *> target {nullptr};
std::atomic<int> caught {0};
static_assert(std::atomic<Upgrader *>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// A station's units, each signalled once: a slot is emptied by whoever
// signals it (handler or loop).
constexpr int maxUnits = 1024;
std::atomic<long> units[maxUnits];
std::atomic<bool> station {false};
static_assert(std::atomic<long>::is_always_lock_free);

#ifdef Q_OS_UNIX
struct sigaction previous[3];

void forwardAll(int number)
{
    for (auto &slot : units) {
        if (const long pid = slot.exchange(0); pid > 0)
            ::kill(pid_t(pid), number);
    }
}

void onSignal(int number)
{
    int none = 0;
    caught.compare_exchange_strong(none, number);
    if (Upgrader *u = target.load())
        u->requestStop();
    if (station)
        forwardAll(caught);
}
#endif

} // namespace

Interruption::Interruption(Upgrader &upgrader)
{
    install(&upgrader);
}

Interruption::Interruption()
{
    for (auto &slot : units)
        slot = 0;
    station = true;
    install(nullptr);
}

void Interruption::attach(Upgrader *upgrader)
{
    target = upgrader;
    if (upgrader && caught)
        upgrader->requestStop();
}

void Interruption::install(Upgrader *upgrader)
{
    caught = 0;
    target = upgrader;
#ifdef Q_OS_UNIX
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // A second signal of the kind is not caught by a run: an operator who
    // insists gets the default, immediate end. A station, whose units are
    // other processes, stays to collect their records; and its units, which
    // no terminal reaches, take the death signal of their station after its
    // first signal as one more request to stop after the transfer in
    // flight, never as a kill.
    const bool keepCatching = station || isStationUnit();
    action.sa_flags = keepCatching ? SA_RESTART : SA_RESETHAND | SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(stopSignals[i], &action, &previous[i]);
#endif
}

Interruption::~Interruption()
{
#ifdef Q_OS_UNIX
    for (int i = 0; i < 3; ++i)
        sigaction(stopSignals[i], &previous[i], nullptr);
#endif
    target = nullptr;
    station = false;
}

bool Interruption::forwardTo(long pid)
{
    for (auto &slot : units) {
        long empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) {
            forwardPending();
            return true;
        }
    }
    return false;
}

void Interruption::forget(long pid)
{
    for (auto &slot : units) {
        long was = pid;
        slot.compare_exchange_strong(was, 0);
    }
}

void Interruption::forwardPending()
{
#ifdef Q_OS_UNIX
    if (const int number = caught)
        forwardAll(number);
#endif
}

int Interruption::signal()
{
    return caught;
}

const char *Interruption::name(int number)
{
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    }
    return "signal";
}

} // namespace kelto::cli
