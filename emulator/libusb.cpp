// The libusb-0.1 functions the transport calls, played by the emulated
// converters. All of them live in this one file: the library's link option
// --undefined=usb_init pulls this object in wherever kelto_emulator is
// listed on a link line, so the order of libraries does not matter.
#include "imagetransform.h"
#include "state.h"

#include <usb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

using kelto::emu::Direction;
using kelto::emu::FaultKind;
using kelto::emu::TransferRecord;
using kelto::emu::detail::ActiveFault;
using kelto::emu::detail::Device;
using kelto::emu::detail::Effects;
using kelto::emu::detail::state;

struct usb_bus *usb_busses = nullptr;

namespace {

using Lock = std::unique_lock<std::mutex>;
constexpr int errInvalid = -22; // -EINVAL

// The fault that fires on this transfer, if any; counts the others down.
ActiveFault *dueFault(Device &d, uint8_t request)
{
    ActiveFault *due = nullptr;
    for (auto &f : d.faults) {
        if (f.fault.request >= 0 && f.fault.request != request)
            continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (!due)
            due = &f;
    }
    return due;
}

void retire(Device &d, ActiveFault *f)
{
    if (--f->remaining == 0)
        d.faults.erase(d.faults.begin() + (f - d.faults.data()));
}

// memcpy that also takes the empty (possibly null) buffers of hostile or
// zero-length replies.
void copyOut(uint8_t *to, const uint8_t *from, size_t n)
{
    if (n && to && from)
        std::memcpy(to, from, n);
}

uint64_t linkTimeUs(const kelto::emu::Timing &t, int length)
{
    return t.transferOverheadUs + uint64_t(std::max(length, 0)) * t.nsPerByte / 1000;
}

} // namespace

extern "C" {

void usb_init(void)
{
    (void)state();
}

void usb_set_debug(int) { }

int usb_find_busses(void)
{
    return 0;
}

int usb_find_devices(void)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.relinkBusList();
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
        if (&candidate->node == dev)
            d = candidate.get();
    if (!d)
        return nullptr;
    d->refresh(s.nowUs());
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
        if (Device *d = s.device(h->device))
            --d->handles;
    delete h;
    return 0;
}

int usb_set_configuration(usb_dev_handle *h, int configuration)
{
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(h);
    if (!d)
        return kelto::emu::errNoDevice;
    if (d->cfg.permissionDenied)
        return kelto::emu::errPermission;
    if (d->cfg.failSetConfiguration || configuration != 1)
        return kelto::emu::errStall;
    return 0;
}

int usb_claim_interface(usb_dev_handle *h, int interface)
{
    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(h);
    if (!d)
        return kelto::emu::errNoDevice;
    if (interface != 0)
        return errInvalid;
    if (d->cfg.failClaim)
        return kelto::emu::errBusy;
    h->claimed = true;
    return 0;
}

int usb_release_interface(usb_dev_handle *h, int interface)
{
    auto &s = state();
    Lock lock(s.mutex);
    if (!s.live(h))
        return kelto::emu::errNoDevice;
    if (interface != 0 || !h->claimed)
        return errInvalid;
    h->claimed = false;
    return 0;
}

int usb_control_msg(usb_dev_handle *h, int requesttype, int request, int value, int index,
    char *bytes, int size, int /*timeout*/)
{
    if (!h)
        return errInvalid;
    auto &s = state();
    Lock lock(s.mutex);
    auto *data = reinterpret_cast<uint8_t *>(bytes);
    TransferRecord rec;
    rec.device = h->device;
    rec.requestType = uint8_t(requesttype);
    rec.direction = (requesttype & 0x80) ? Direction::In : Direction::Out;
    rec.request = uint8_t(request);
    rec.value = uint16_t(value);
    rec.index = uint16_t(index);
    rec.lengthAsked = size;

    if (!s.script.empty()) {
        const kelto::emu::ScriptedReply reply = s.script.front();
        s.script.pop_front();
        if (rec.direction == Direction::In && data && size > 0)
            copyOut(data, reply.data.data(), std::min(reply.data.size(), size_t(size)));
        rec.lengthReturned = reply.result;
        rec.timeMs = s.nowUs() / 1000;
        s.record(rec);
        return reply.result;
    }

    Device *d = s.live(h);
    if (!d) {
        rec.lengthReturned = kelto::emu::errNoDevice;
        rec.timeMs = s.nowUs() / 1000;
        s.record(rec);
        return kelto::emu::errNoDevice;
    }

    const kelto::emu::Timing timing = s.timing;
    uint64_t costUs = linkTimeUs(timing, size);
    int result = 0;
    Effects effects;
    ActiveFault *fault = dueFault(*d, uint8_t(request));
    const FaultKind kind = fault ? fault->fault.kind : FaultKind::Error;
    const uint64_t now = s.nowUs();

    auto runModel = [&](uint8_t *buffer) {
        return d->vendorRequest(uint8_t(requesttype), uint8_t(request), uint16_t(value),
            uint16_t(index), buffer, size, now, effects);
    };

    if (!fault) {
        result = runModel(data);
    } else if (kind == FaultKind::Error) {
        result = fault->fault.error;
        if (result == kelto::emu::errTimeout)
            costUs = 2000000; // the host's timeout runs out
    } else if (kind == FaultKind::DropOff) {
        result = kelto::emu::errNoDevice;
        d->leave(fault->fault.comeBack ? now + fault->fault.comeBackAfterMs * 1000
                                       : kelto::emu::detail::never,
            d->mode);
    } else if (kind == FaultKind::Short) {
        const int cut = std::clamp(fault->fault.shortCount, 0, std::max(size, 0));
        if (rec.direction == Direction::In) {
            std::vector<uint8_t> tmp(size_t(std::max(size, 0)));
            result = runModel(size > 0 ? tmp.data() : nullptr);
            if (result >= 0) {
                result = std::min(result, cut);
                if (data)
                    copyOut(data, tmp.data(), size_t(result));
            }
        } else {
            result = cut; // the data stage broke off; the device applies nothing
        }
    } else { // Corrupt
        const size_t at = fault->fault.byteOffset;
        if (rec.direction == Direction::In) {
            result = runModel(data);
            if (result > 0 && at < size_t(result)) {
                // Memory pages are flipped in their plain form, so that the
                // host sees exactly one wrong byte after decoding.
                const bool encoded = request == 1;
                if (encoded)
                    kelto::decodeWords(data, uint32_t(result));
                data[at] ^= fault->fault.xorMask;
                if (encoded)
                    kelto::encodeWords(data, uint32_t(result));
            }
        } else {
            std::vector<uint8_t> tmp(
                data && size > 0 ? data : nullptr, data && size > 0 ? data + size : nullptr);
            if (at < tmp.size())
                tmp[at] ^= fault->fault.xorMask;
            result = runModel(tmp.empty() ? data : tmp.data());
        }
    }
    if (fault)
        retire(*d, fault);

    if (result >= 0 && rec.requestType == 0x40) {
        if (request == 3)
            costUs += timing.pageProgramUs;
        else if (request == 6)
            costUs += timing.externalWriteUs;
    }
    if (effects.leaveBus) {
        // The firmware restarts: the application into the bootloader, the
        // bootloader into the application only when the application checks.
        const kelto::emu::Mode next
            = d->mode == kelto::emu::Mode::Application || !d->applicationValid()
            ? kelto::emu::Mode::Bootloader
            : kelto::emu::Mode::Application;
        const uint64_t back = d->cfg.returnsAfterReset
            ? now + costUs + uint64_t(timing.reenumerationMs) * 1000
            : kelto::emu::detail::never;
        d->leave(back, next);
    }
    const uint64_t sleepUs = s.charge(costUs);
    rec.lengthReturned = result;
    rec.timeMs = s.nowUs() / 1000 + sleepUs / 1000;
    s.record(rec);
    const auto hook = s.transferHook;
    lock.unlock();
    kelto::emu::detail::realSleepUs(sleepUs);
    if (hook)
        hook(rec);
    return result;
}

int usb_get_descriptor(
    usb_dev_handle *h, unsigned char type, unsigned char index, void *buf, int size)
{
    if (!h)
        return errInvalid;
    auto &s = state();
    Lock lock(s.mutex);
    auto *data = static_cast<uint8_t *>(buf);
    TransferRecord rec;
    rec.device = h->device;
    rec.requestType = 0x80;
    rec.direction = Direction::In;
    rec.request = 6; // GET_DESCRIPTOR
    rec.value = uint16_t(type << 8 | index);
    rec.index = 0;
    rec.lengthAsked = size;
    rec.timeMs = s.nowUs() / 1000;

    if (!s.script.empty()) {
        const kelto::emu::ScriptedReply reply = s.script.front();
        s.script.pop_front();
        if (data && size > 0)
            copyOut(data, reply.data.data(), std::min(reply.data.size(), size_t(size)));
        rec.lengthReturned = reply.result;
        s.record(rec);
        return reply.result;
    }

    int result = 0;
    Device *d = s.live(h);
    if (!d) {
        result = kelto::emu::errNoDevice;
    } else if (!data || size < 0) {
        result = errInvalid;
    } else {
        int error = 0;
        const std::vector<uint8_t> desc = d->descriptor(type, index, error);
        if (error) {
            result = error;
        } else {
            result = int(std::min(desc.size(), size_t(size)));
            copyOut(data, desc.data(), size_t(result));
        }
    }
    const uint64_t sleepUs = s.charge(linkTimeUs(s.timing, result > 0 ? result : 0));
    rec.lengthReturned = result;
    s.record(rec);
    lock.unlock();
    kelto::emu::detail::realSleepUs(sleepUs);
    return result;
}

} // extern "C"
