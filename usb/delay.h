#ifndef KELTO_USB_DELAY_H
#define KELTO_USB_DELAY_H

#include <atomic>
#include <cstdint>

// The one seam for the program's fixed waits (connect retries, device reset,
// finish). The program sleeps for real; tests install a function that
// advances a virtual clock instead, so a whole upgrade runs in no time.
namespace kelto {

using SleepFunction = void (*)(unsigned long ms);

// nullptr restores real sleeping. Thread-safe.
void setSleepFunction(SleepFunction fn);
void sleepMs(unsigned long ms);
// A wait that ends early once `stop` is set (checked at least every 50 ms
// on the real clock; a sleep function takes the wait whole). True when the
// wait ended because of the stop.
bool sleepMsUnless(unsigned long ms, const std::atomic<bool> &stop);

// The clock the program's bounded waits are measured on: the steady clock,
// or whatever tests install (the emulator's virtual clock). Milliseconds.
using ClockFunction = uint64_t (*)();
// nullptr restores the steady clock. Thread-safe.
void setClockFunction(ClockFunction fn);
uint64_t clockMs();

} // namespace kelto

#endif
