#ifndef KELTO_USB_BUSPRESENCE_H
#define KELTO_USB_BUSPRESENCE_H

// Gone or refused: after a failed transfer the converter is looked for on
// the bus (sysfs) before the failure is called a refusal. The error code
// alone cannot tell: libraries map a vanished device to ENODEV, ENXIO,
// ESHUTDOWN, EPROTO or EIO, and a cable pulled mid-transfer fails the
// transfer before the kernel has noticed the device is gone.

#include "usbdevice.h"

#include <QString>

#include <cstdint>

namespace kelto {

// Where an opened device sits, and whether sysfs showed it there when it
// was opened (where it did not, sysfs cannot be asked and the error code
// decides).
struct BusPlace
{
    int bus = 0;
    int address = 0;
    bool inSysfs = false;
};

// The device at bus/address as sysfs under `sysfsRoot` shows it now.
bool listedInSysfs(
    const QString &sysfsRoot, int bus, int address, uint16_t vendorId, uint16_t productId);

// Why a transfer that returned `result` failed. A device no longer listed
// has gone, whatever the code; one still listed has refused (a stall, a
// short or corrupt reply), unless it leaves within the time the kernel
// takes to notice an unplug. Waits through kelto::sleepMs.
UsbDevice::LinkError judgeFailure(int result, const BusPlace &place, const QString &sysfsRoot,
    uint16_t vendorId, uint16_t productId);

} // namespace kelto

#endif
