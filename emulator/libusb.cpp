// The libusb-0.1 functions the transport calls, played by the emulated
// converters. All of them live in this one file: the library's link option
// --undefined=usb_init pulls this object in wherever kelto_emulator is
// listed on a link line, so the order of libraries does not matter.
#include "state.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

using kelto::emu::detail::Device;
using kelto::emu::detail::state;

struct usb_bus *usb_busses = nullptr;

namespace {

using Lock = std::unique_lock<std::mutex>;
constexpr int errInvalid = -22; // -EINVAL

} // namespace

extern "C" {

void usb_init(void)
{
    (void)state();
}

void usb_set_debug(int) { }

int usb_find_busses(void)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.findBusses();
    return 0;
}

int usb_find_devices(void)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.findDevices();
    return 0;
}

struct usb_bus *usb_get_busses(void)
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.busList;
}

usb_dev_handle *usb_open(struct usb_device *dev)
{
    if (!dev)
        return nullptr;
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = nullptr;
    for (auto &candidate : s.devices)
        if (candidate->node.get() == dev)
            d = candidate.get();
    if (!d) {
        // An entry of a device that has left since: its node is gone.
        errno = ENOENT;
        return nullptr;
    }
    s.refresh(*d);
    if (!d->present || d->cfg.failOpen)
        return nullptr;
    if (d->cfg.noAccess) {
        errno = EACCES;
        return nullptr;
    }
    auto *h = new usb_dev_handle;
    h->device = d->id;
    h->generation = d->generation;
    h->epoch = s.epoch;
    ++d->handles;
    return h;
}

int usb_close(usb_dev_handle *h)
{
    if (!h)
        return errInvalid;
    auto &s = state();
    Lock lock(s.mutex);
    if (h->epoch == s.epoch)
        if (Device *d = s.device(h->device)) {
            --d->handles;
            // Closing releases what the handle held.
            if (d->claimedBy == h)
                d->claimedBy = nullptr;
        }
    delete h;
    return 0;
}

// Without the udev rule the node opens read-only, and the kernel refuses
// every request on such a file with EPERM.
int usb_set_configuration(usb_dev_handle *h, int configuration)
{
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(h);
    if (!d)
        return kelto::emu::errNoDevice;
    if (d->cfg.permissionDenied)
        return kelto::emu::errPermission;
    // The kernel does not touch a device whose interface anybody holds.
    if (d->claimedBy)
        return kelto::emu::errBusy;
    if (d->cfg.failSetConfiguration)
        return kelto::emu::errStall;
    return configuration == 1 ? 0 : errInvalid;
}

int usb_claim_interface(usb_dev_handle *h, int interface)
{
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(h);
    if (!d)
        return kelto::emu::errNoDevice;
    if (d->cfg.permissionDenied)
        return kelto::emu::errPermission;
    if (interface != 0)
        return errInvalid;
    // One program at a time: another handle's claim stands until released.
    if (d->cfg.failClaim || (d->claimedBy && d->claimedBy != h))
        return kelto::emu::errBusy;
    d->claimedBy = h;
    h->claimed = true;
    return 0;
}

int usb_release_interface(usb_dev_handle *h, int interface)
{
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(h);
    if (!d)
        return kelto::emu::errNoDevice;
    if (d->cfg.permissionDenied)
        return kelto::emu::errPermission;
    if (interface != 0 || d->claimedBy != h)
        return errInvalid;
    d->claimedBy = nullptr;
    h->claimed = false;
    return 0;
}

int usb_control_msg(usb_dev_handle *h, int requesttype, int request, int value, int index,
    char *bytes, int size, int timeout)
{
    if (!h)
        return errInvalid;
    auto &s = state();
    Lock lock(s.mutex);
    kelto::emu::detail::Setup setup;
    setup.requestType = uint8_t(requesttype);
    setup.request = uint8_t(request);
    setup.value = uint16_t(value);
    setup.index = uint16_t(index);
    setup.length = size;
    setup.timeoutMs = unsigned(std::max(timeout, 0));
    if (Device *d = s.live(h); d && d->cfg.permissionDenied)
        return kelto::emu::errPermission;
    uint64_t sleepUs = 0;
    std::optional<kelto::emu::TransferRecord> served;
    const int result
        = s.transfer(h->device, h->generation, h->epoch, setup, reinterpret_cast<uint8_t *>(bytes),
            sleepUs, std::chrono::steady_clock::time_point::max(), &served);
    const auto hook = s.transferHook;
    lock.unlock();
    kelto::emu::detail::realSleepUs(sleepUs);
    if (hook && served)
        hook(*served);
    return result;
}

int usb_get_descriptor(
    usb_dev_handle *h, unsigned char type, unsigned char index, void *buf, int size)
{
    // As the real library: a standard GET_DESCRIPTOR control transfer with
    // its one-second timeout.
    return usb_control_msg(h, 0x80, 6, type << 8 | index, 0, static_cast<char *>(buf), size, 1000);
}

} // extern "C"
