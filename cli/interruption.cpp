#include "interruption.h"

#include "upgrader.h"

#include <atomic>
#include <csignal>

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

#ifdef Q_OS_UNIX
struct sigaction previous[3];

void onSignal(int number)
{
    int none = 0;
    caught.compare_exchange_strong(none, number);
    if (Upgrader *u = target.load())
        u->requestStop();
}
#endif

} // namespace

Interruption::Interruption(Upgrader &upgrader)
{
    install(&upgrader);
}

Interruption::Interruption()
{
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
    // A second signal of the kind is not caught: an operator who insists
    // gets the default, immediate end.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
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
