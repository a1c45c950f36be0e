#include "waitpolicy.h"

#include "delay.h"

namespace kelto::upgrade {

WaitPolicy::WaitPolicy(Kind kind)
    : kind_(kind)
{
}

WaitPolicy::Kind WaitPolicy::kind() const
{
    return kind_;
}

bool WaitPolicy::settle(unsigned long writtenMs, const std::atomic<bool> &stop) const
{
    if (kind_ == Kind::Polled || writtenMs == 0)
        return stop;
    return kelto::sleepMsUnless(writtenMs, stop);
}

uint64_t WaitPolicy::limitMs(const Written &wait)
{
    return wait.settleMs + wait.lookingMs + marginMs;
}

WaitPolicy::Result WaitPolicy::lookFor(
    const Written &wait, uint64_t since, const Look &look, const std::atomic<bool> &stop) const
{
    if (kind_ == Kind::Fixed) {
        const uint64_t start = kelto::clockMs();
        for (int n = 0; n < wait.looks && kelto::clockMs() - start < wait.lookingMs; ++n) {
            if (stop)
                return Result::Stopped;
            if (look(true))
                return Result::Seen;
            if (kelto::sleepMsUnless(wait.intervalMs, stop))
                return Result::Stopped;
        }
        return stop ? Result::Stopped : Result::NotSeen;
    }
    for (;;) {
        if (stop)
            return Result::Stopped;
        const uint64_t elapsed = kelto::clockMs() - since;
        if (look(elapsed >= wait.settleMs))
            return Result::Seen;
        if (kelto::clockMs() - since >= limitMs(wait))
            return Result::NotSeen;
        if (kelto::sleepMsUnless(pollMs, stop))
            return Result::Stopped;
    }
}

} // namespace kelto::upgrade
