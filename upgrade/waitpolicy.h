#ifndef KELTO_UPGRADE_WAITPOLICY_H
#define KELTO_UPGRADE_WAITPOLICY_H

#include <atomic>
#include <cstdint>
#include <functional>

namespace kelto::upgrade {

// How a run waits for the converter to restart or settle.
// - Fixed: the written procedure's sleeps, then its looks at its interval
//   (the window: what its operators have always seen).
// - Polled: a look every pollMs from the request on, so that the wait ends
//   as soon as the converter is back in the state waited for (kelto-cli).
// Polling only ends a wait early on success: a look may act on anything
// else (a converter seen in the wrong mode) only once the written procedure
// would have looked, and a converter that does not come back is given up no
// sooner than the written procedure would, plus a margin.
class WaitPolicy
{
public:
    enum class Kind { Fixed, Polled };
    static constexpr unsigned long pollMs = 20;
    static constexpr uint64_t marginMs = 1000;

    // One wait of the written procedure: `settleMs` asleep after the request,
    // then up to `looks` looks `intervalMs` apart, for at most `lookingMs`.
    struct Written
    {
        unsigned long settleMs = 0;
        int looks = 1;
        unsigned long intervalMs = 0;
        uint64_t lookingMs = 0;
    };
    enum class Result { Seen, NotSeen, Stopped };
    // `judge` is true once the written procedure's settle time has passed.
    using Look = std::function<bool(bool judge)>;

    explicit WaitPolicy(Kind kind = Kind::Fixed);
    Kind kind() const;

    // A settling sleep the written procedure takes as `writtenMs`: taken
    // whole when fixed, not at all when polled. True when stopped.
    bool settle(unsigned long writtenMs, const std::atomic<bool> &stop) const;
    // The looks of `wait`; `since` is the clock (kelto::clockMs) at the
    // request the wait is for.
    Result lookFor(
        const Written &wait, uint64_t since, const Look &look, const std::atomic<bool> &stop) const;
    // The longest a polled wait keeps looking after its request.
    static uint64_t limitMs(const Written &wait);

private:
    Kind kind_;
};

} // namespace kelto::upgrade

#endif
