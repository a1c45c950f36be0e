#include "delay.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
std::atomic<kelto::SleepFunction> sleepFunction {nullptr};
}

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
