#ifndef KELTO_USB_DELAY_H
#define KELTO_USB_DELAY_H

// The one seam for the program's fixed waits (connect retries, device reset,
// finish). The program sleeps for real; tests install a function that
// advances a virtual clock instead, so a whole upgrade runs in no time.
namespace kelto {

using SleepFunction = void (*)(unsigned long ms);

// nullptr restores real sleeping. Thread-safe.
void setSleepFunction(SleepFunction fn);
void sleepMs(unsigned long ms);

} // namespace kelto

#endif
