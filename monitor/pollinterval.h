#ifndef KELTO_MONITOR_POLLINTERVAL_H
#define KELTO_MONITOR_POLLINTERVAL_H

namespace kelto {

// The ballast polling thread's pause before each reading: 500 ms in the
// program. Tests shorten it so that a suite of polling cycles runs quickly;
// the pause stays interruptible by MyThread::terminate() either way.
constexpr unsigned long defaultBallastPollIntervalMs = 500;

// 0 restores the default. Thread-safe; read at the start of every pause.
void setBallastPollIntervalMs(unsigned long ms);
unsigned long ballastPollIntervalMs();

} // namespace kelto

#endif
