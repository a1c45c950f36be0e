#include "pollinterval.h"

#include <atomic>

namespace {
std::atomic<unsigned long> interval {kelto::defaultBallastPollIntervalMs};
}

void kelto::setBallastPollIntervalMs(unsigned long ms)
{
    interval.store(ms ? ms : defaultBallastPollIntervalMs);
}

unsigned long kelto::ballastPollIntervalMs()
{
    return interval.load();
}
