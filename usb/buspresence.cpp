#include "buspresence.h"

#include "delay.h"
#include "discovery.h"

#include <cerrno>

namespace kelto {

namespace {

// How long the kernel may take from a transfer failed by an unplug to the
// device's leaving sysfs, and how often to look meanwhile.
constexpr unsigned long unplugNoticeMs = 300;
constexpr unsigned long lookEveryMs = 10;

UsbDevice::LinkError byCode(int result)
{
    if (result == -ETIMEDOUT)
        return UsbDevice::LinkError::Timeout;
    if (result == -ENODEV || result == -ESHUTDOWN || result == -ENXIO)
        return UsbDevice::LinkError::Gone;
    return UsbDevice::LinkError::Refused;
}

} // namespace

bool listedInSysfs(
    const QString &sysfsRoot, int bus, int address, uint16_t vendorId, uint16_t productId)
{
    return discovery::atAddress(
        discovery::sysfsDevicesUnder(sysfsRoot, vendorId, productId), bus, address)
        .has_value();
}

UsbDevice::LinkError judgeFailure(int result, const BusPlace &place, const QString &sysfsRoot,
    uint16_t vendorId, uint16_t productId)
{
    if (result >= 0)
        return UsbDevice::LinkError::None;
    if (!place.inSysfs)
        return byCode(result);
    auto listed
        = [&] { return listedInSysfs(sysfsRoot, place.bus, place.address, vendorId, productId); };
    if (!listed())
        return UsbDevice::LinkError::Gone;
    // A stall or an unanswered request is the device's own answer.
    if (result == -EPIPE || result == -ETIMEDOUT)
        return byCode(result);
    for (unsigned long waited = 0; waited < unplugNoticeMs; waited += lookEveryMs) {
        sleepMs(lookEveryMs);
        if (!listed())
            return UsbDevice::LinkError::Gone;
    }
    return UsbDevice::LinkError::Refused;
}

} // namespace kelto
