#include "state.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kelto::emu::detail {

State &state()
{
    // Built on first use and never destroyed: the host may still close
    // handles from static destructors at process exit.
    static State *s = [] {
        auto *st = new State;
        st->resetLocked();
        return st;
    }();
    return *s;
}

void realSleepUs(uint64_t us)
{
    if (us)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
}

uint64_t State::nowUs() const
{
    if (clockMode == ClockMode::Virtual)
        return virtualUs;
    return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - realStart)
                        .count());
}

uint64_t State::charge(uint64_t us)
{
    if (clockMode == ClockMode::Virtual) {
        virtualUs += us;
        refreshAll();
        return 0;
    }
    return us;
}

void State::refreshAll()
{
    const uint64_t now = nowUs();
    for (auto &d : devices)
        d->refresh(now);
}

void State::relinkBusList()
{
    refreshAll();
    for (auto &b : busses) {
        b.second->devices = nullptr;
        b.second->next = b.second->prev = nullptr;
    }
    std::vector<Device *> shown;
    for (auto &d : devices)
        if (d->present)
            shown.push_back(d.get());
    std::stable_sort(shown.begin(), shown.end(),
        [](const Device *a, const Device *b) { return a->cfg.bus < b->cfg.bus; });
    usb_bus *first = nullptr;
    usb_bus *lastBus = nullptr;
    struct usb_device *lastDev = nullptr;
    for (Device *d : shown) {
        auto &slot = busses[d->cfg.bus];
        if (!slot) {
            slot = std::make_unique<usb_bus>();
            std::memset(slot.get(), 0, sizeof(usb_bus));
            std::snprintf(slot->dirname, sizeof slot->dirname, "%03u", d->cfg.bus);
            slot->location = d->cfg.bus;
        }
        usb_bus *bus = slot.get();
        if (bus != lastBus) {
            bus->prev = lastBus;
            bus->next = nullptr;
            if (lastBus)
                lastBus->next = bus;
            else
                first = bus;
            lastBus = bus;
            lastDev = nullptr;
        }
        d->updateDescriptor();
        struct usb_device &node = d->node;
        node.bus = bus;
        node.prev = lastDev;
        node.next = nullptr;
        if (lastDev)
            lastDev->next = &node;
        else
            bus->devices = &node;
        lastDev = &node;
    }
    busList = first;
    usb_busses = first;
}

Device *State::device(int id)
{
    if (id < 0 || size_t(id) >= devices.size())
        return nullptr;
    return devices[size_t(id)].get();
}

Device *State::live(const usb_dev_handle *handle)
{
    if (!handle || handle->epoch != epoch)
        return nullptr;
    Device *d = device(handle->device);
    if (!d)
        return nullptr;
    d->refresh(nowUs());
    if (!d->present || d->generation != handle->generation)
        return nullptr;
    return d;
}

void State::record(const TransferRecord &r)
{
    if (logging)
        log.push_back(r);
    if (trace)
        std::fprintf(stderr,
            "kelto-emulator: %8llu ms  dev %d  type 0x%02x  req %3u  value 0x%04x  "
            "index 0x%04x  asked %4d  -> %d\n",
            static_cast<unsigned long long>(r.timeMs), r.device, unsigned(r.requestType),
            unsigned(r.request), unsigned(r.value), unsigned(r.index), r.lengthAsked,
            r.lengthReturned);
}

void State::resetLocked()
{
    ++epoch;
    transferHook = nullptr;
    devices.clear();
    for (auto &b : busses)
        b.second->devices = nullptr;
    busList = nullptr;
    usb_busses = nullptr;
    timing = Timing::zero();
    clockMode = ClockMode::Virtual;
    virtualUs = 0;
    realStart = std::chrono::steady_clock::now();
    logging = true;
    trace = false;
    log.clear();
    script.clear();
    devices.push_back(std::make_unique<Device>(0, DeviceConfig()));
}

} // namespace kelto::emu::detail
