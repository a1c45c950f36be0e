#include "delay.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<kelto::SleepFunction> sleepFunction {nullptr};
std::atomic<kelto::ClockFunction> clockFunction {nullptr};
constexpr unsigned long stopCheckMs = 50;
} // namespace

void kelto::setSleepFunction(SleepFunction fn)
{
    sleepFunction.store(fn);
}

void kelto::sleepMs(unsigned long ms)
{
    if (SleepFunction fn = sleepFunction.load()) {
        fn(ms);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool kelto::sleepMsUnless(unsigned long ms, const std::atomic<bool> &stop)
{
    if (stop)
        return true;
    if (sleepFunction.load()) {
        sleepMs(ms);
        return stop;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(stopCheckMs)));
    }
    return true;
}

void kelto::setClockFunction(ClockFunction fn)
{
    clockFunction.store(fn);
}

uint64_t kelto::clockMs()
{
    if (ClockFunction fn = clockFunction.load())
        return fn();
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}
