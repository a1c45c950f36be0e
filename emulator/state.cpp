#include "state.h"

#include "imagetransform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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

uint64_t State::charge(Device &d, uint64_t us, uint64_t startUs)
{
    if (clockMode == ClockMode::Virtual) {
        virtualUs += us;
        refreshAll();
        return 0;
    }
    // On the real clock each device keeps its own timeline: a transfer
    // starts when the device's previous one has ended, whatever the other
    // devices are doing.
    const uint64_t now = nowUs();
    const uint64_t end = std::max(std::min(now, startUs), d.busyUntilUs) + us;
    d.busyUntilUs = end;
    return end > now ? end - now : 0;
}

void State::refreshAll()
{
    for (auto &d : devices)
        refresh(*d);
}

void State::refresh(Device &d)
{
    if (d.refresh(nowUs()))
        arrive(d);
}

void State::arrive(Device &d)
{
    if (!busBorn.count(d.cfg.bus))
        busBorn[d.cfg.bus] = ++nodeCount;
    d.born = ++nodeCount;
    // Addresses count up per bus and wrap, skipping those in use, as a
    // host controller hands them out.
    unsigned &next = nextAddress[d.cfg.bus];
    for (int tries = 0; tries < 127; ++tries) {
        if (next < 2 || next > 127)
            next = 2;
        const unsigned candidate = next++;
        bool used = false;
        for (auto &o : devices)
            used
                |= o.get() != &d && o->present && o->cfg.bus == d.cfg.bus && o->devnum == candidate;
        if (!used) {
            d.devnum = candidate;
            return;
        }
    }
}

Device &State::add(const DeviceConfig &config)
{
    devices.push_back(std::make_unique<Device>(int(devices.size()), config));
    Device &d = *devices.back();
    arrive(d);
    return d;
}

namespace {

// What a root hub's node gives: enough for the library to list it.
void describeHub(struct usb_device &hub, unsigned bus)
{
    hub.devnum = 1;
    std::snprintf(hub.filename, sizeof hub.filename, "%03u", 1u);
    usb_device_descriptor &d = hub.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = USB_CLASS_HUB;
    d.bDeviceProtocol = 1;
    d.bMaxPacketSize0 = 64;
    d.idVendor = 0x1d6b;
    d.idProduct = 0x0002;
    d.bcdDevice = 0x0606;
    d.iManufacturer = 3;
    d.iProduct = 2;
    d.iSerialNumber = 1;
    d.bNumConfigurations = 1;
    (void)bus;
}

bool sameFile(const struct usb_device *a, const struct usb_device *b)
{
    return std::strcmp(a->filename, b->filename) == 0;
}

} // namespace

// The real library reads a folder's entries in the order the file system
// gives them; on the tmpfs of /dev (and of the test bed) that is newest
// first. It puts each entry it can open at the head of a new list (so that
// list is oldest first), keeps what it knew from the last scan where the
// name is still there, drops what has gone, and puts each new entry, in the
// new list's order, at the head of its list. Which converter a program
// meets first follows from that.
void State::findBusses()
{
    std::vector<std::pair<uint64_t, unsigned>> folders;
    for (const auto &b : busBorn)
        folders.push_back({b.second, b.first});
    std::sort(folders.begin(), folders.end());
    for (const auto &f : folders)
        if (std::find(hostBusses.begin(), hostBusses.end(), f.second) == hostBusses.end())
            hostBusses.insert(hostBusses.begin(), f.second);
    relink();
}

unsigned State::portOf(const Device &d) const
{
    unsigned port = 1;
    for (const auto &o : devices)
        if (o.get() != &d && o->cfg.bus == d.cfg.bus && o->id < d.id)
            ++port;
    return port;
}

void State::writeSysfsMirror() const
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    const fs::path dir = fs::path(sysfsMirror) / "bus/usb/devices";
    fs::remove_all(dir, ignored);
    fs::create_directories(dir, ignored);
    for (const auto &d : devices) {
        if (!d->present)
            continue;
        const std::string port = std::to_string(portOf(*d));
        const fs::path entry = dir / (std::to_string(d->cfg.bus) + "-" + port);
        fs::create_directories(entry, ignored);
        char vid[8], pid[8];
        std::snprintf(vid, sizeof vid, "%04x", unsigned(d->cfg.vendorId));
        std::snprintf(pid, sizeof pid, "%04x", unsigned(d->cfg.productId));
        const std::pair<const char *, std::string> attributes[]
            = {{"idVendor", vid}, {"idProduct", pid}, {"busnum", std::to_string(d->cfg.bus)},
                {"devnum", std::to_string(d->devnum)}, {"devpath", port},
                {"serial", d->reportedSerial()}};
        for (const auto &[name, value] : attributes)
            std::ofstream(entry / name) << value << "\n";
    }
}

void State::findDevices()
{
    refreshAll();
    for (unsigned bus : hostBusses) {
        auto &hub = hubs[bus];
        if (!hub) {
            hub = std::make_unique<struct usb_device>();
            describeHub(*hub, bus);
        }
        std::vector<std::pair<uint64_t, struct usb_device *>> nodes {{busBorn[bus], hub.get()}};
        for (auto &d : devices) {
            // A node the library cannot open is not listed at all.
            if (!d->present || d->cfg.bus != bus || d->cfg.noAccess)
                continue;
            if (d->node->devnum != d->devnum) {
                // A device that came back is a new entry in the list.
                if (d->node->devnum) {
                    d->oldNodes.push_back(std::move(d->node));
                    d->node = std::make_unique<struct usb_device>();
                    d->node->dev = d.get();
                }
                d->node->devnum = uint8_t(d->devnum);
                std::snprintf(d->node->filename, sizeof d->node->filename, "%03u", d->devnum);
            }
            d->updateDescriptor();
            nodes.push_back({d->born, d->node.get()});
        }
        std::sort(nodes.begin(), nodes.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
        auto &known = hostDevices[bus];
        known.erase(std::remove_if(known.begin(), known.end(),
                        [&](struct usb_device *k) {
                            return std::none_of(nodes.begin(), nodes.end(),
                                [&](const auto &n) { return sameFile(n.second, k); });
                        }),
            known.end());
        for (const auto &n : nodes)
            if (std::none_of(known.begin(), known.end(),
                    [&](struct usb_device *k) { return sameFile(n.second, k); }))
                known.insert(known.begin(), n.second);
    }
    relink();
    if (!sysfsMirror.empty())
        writeSysfsMirror();
}

void State::relink()
{
    usb_bus *first = nullptr;
    usb_bus *lastBus = nullptr;
    for (unsigned number : hostBusses) {
        auto &slot = busses[number];
        if (!slot) {
            slot = std::make_unique<usb_bus>();
            std::memset(slot.get(), 0, sizeof(usb_bus));
            std::snprintf(slot->dirname, sizeof slot->dirname, "%03u", number);
            slot->location = number;
        }
        usb_bus *bus = slot.get();
        bus->prev = lastBus;
        bus->next = nullptr;
        bus->devices = nullptr;
        if (lastBus)
            lastBus->next = bus;
        else
            first = bus;
        lastBus = bus;
        struct usb_device *lastDev = nullptr;
        for (struct usb_device *node : hostDevices[number]) {
            node->bus = bus;
            node->prev = lastDev;
            node->next = nullptr;
            if (lastDev)
                lastDev->next = node;
            else
                bus->devices = node;
            lastDev = node;
        }
    }
    busList = first;
    usb_busses = first;
}

void State::resetBus()
{
    nextAddress.clear();
    busBorn.clear();
    busBorn[1] = ++nodeCount;
    hostBusses.clear();
    hostDevices.clear();
    for (auto &b : busses)
        b.second->devices = nullptr;
    busList = nullptr;
    usb_busses = nullptr;
}

Device *State::device(int id)
{
    if (id < 0 || size_t(id) >= devices.size())
        return nullptr;
    return devices[size_t(id)].get();
}

Device *State::live(const usb_dev_handle *handle)
{
    return handle ? live(handle->device, handle->generation, handle->epoch) : nullptr;
}

Device *State::live(int id, uint64_t generation, uint64_t epochOpened)
{
    if (epochOpened != epoch)
        return nullptr;
    Device *d = device(id);
    if (!d)
        return nullptr;
    refresh(*d);
    if (!d->present || d->generation != generation)
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
    resetBus();
    timing = Timing::zero();
    clockMode = ClockMode::Virtual;
    virtualUs = 0;
    realStart = std::chrono::steady_clock::now();
    logging = true;
    sysfsMirror.clear();
    trace = false;
    log.clear();
    script.clear();
    add(DeviceConfig());
}

namespace {

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

uint64_t linkTimeUs(const Timing &t, int length)
{
    return t.transferOverheadUs + uint64_t(std::max(length, 0)) * t.nsPerByte / 1000;
}

bool isDescriptorRead(const Setup &s)
{
    return s.requestType == 0x80 && s.request == 6;
}

} // namespace

int State::transfer(int id, uint64_t generation, uint64_t epochOpened, const Setup &setup,
    uint8_t *data, uint64_t &sleepUs, std::chrono::steady_clock::time_point arrived,
    std::optional<TransferRecord> *served)
{
    sleepUs = 0;
    const uint64_t startUs = clockMode == ClockMode::Real && arrived > realStart
            && arrived != std::chrono::steady_clock::time_point::max()
        ? uint64_t(
            std::chrono::duration_cast<std::chrono::microseconds>(arrived - realStart).count())
        : never;
    const int size = setup.length;
    TransferRecord rec;
    rec.device = id;
    rec.requestType = setup.requestType;
    rec.direction = (setup.requestType & 0x80) ? Direction::In : Direction::Out;
    rec.request = setup.request;
    rec.value = setup.value;
    rec.index = setup.index;
    rec.lengthAsked = size;

    if (!script.empty()) {
        const ScriptedReply reply = script.front();
        script.pop_front();
        if (rec.direction == Direction::In && data && size > 0)
            copyOut(data, reply.data.data(), std::min(reply.data.size(), size_t(size)));
        rec.lengthReturned = reply.result;
        rec.timeMs = nowUs() / 1000;
        record(rec);
        return reply.result;
    }

    Device *d = live(id, generation, epochOpened);
    if (!d) {
        rec.lengthReturned = errNoDevice;
        rec.timeMs = nowUs() / 1000;
        record(rec);
        return errNoDevice;
    }
    if (clockMode == ClockMode::Real && setup.timeoutMs) {
        // A device still busy with earlier requests when the host's timeout
        // runs out never sees this one: it costs the whole timeout.
        const uint64_t now = nowUs();
        const uint64_t timeoutUs = uint64_t(setup.timeoutMs) * 1000;
        if (std::max(std::min(now, startUs), d->busyUntilUs) >= now + timeoutUs) {
            sleepUs = timeoutUs;
            rec.lengthReturned = errTimeout;
            rec.timeMs = (now + sleepUs) / 1000;
            record(rec);
            return errTimeout;
        }
    }

    if (isDescriptorRead(setup)) {
        int result = 0;
        if (!data || size < 0) {
            result = errInvalid;
        } else {
            int error = 0;
            const std::vector<uint8_t> desc
                = d->descriptor(uint8_t(setup.value >> 8), uint8_t(setup.value), error);
            if (error) {
                result = error;
            } else {
                result = int(std::min(desc.size(), size_t(size)));
                copyOut(data, desc.data(), size_t(result));
            }
        }
        sleepUs = charge(*d, linkTimeUs(timing, result > 0 ? result : 0), startUs);
        rec.lengthReturned = result;
        rec.timeMs = (nowUs() + sleepUs) / 1000;
        record(rec);
        return result;
    }

    uint64_t costUs = linkTimeUs(timing, size);
    int result = 0;
    Effects effects;
    ActiveFault *fault = dueFault(*d, setup.request);
    const FaultKind kind = fault ? fault->fault.kind : FaultKind::Error;
    const uint64_t now = nowUs();

    auto runModel = [&](uint8_t *buffer) {
        return d->vendorRequest(
            setup.requestType, setup.request, setup.value, setup.index, buffer, size, now, effects);
    };

    if (!fault) {
        result = runModel(data);
    } else if (kind == FaultKind::Error) {
        result = fault->fault.error;
        // A request the device does not answer costs the host its whole
        // timeout.
        if (result == errTimeout)
            costUs = uint64_t(setup.timeoutMs) * 1000;
    } else if (kind == FaultKind::DropOff) {
        // Back in the same firmware after a dropout; after a power cycle
        // its bootloader decides what to start.
        result = errNoDevice;
        d->leave(fault->fault.comeBack ? now + fault->fault.comeBackAfterMs * 1000 : never,
            fault->fault.powerCycle ? d->powerOnMode() : d->mode);
    } else if (kind == FaultKind::PowerCut) {
        result = errNoDevice;
        d->interruptedWrite(setup.requestType, setup.request, setup.value, setup.index, data, size);
        d->leave(fault->fault.comeBack ? now + fault->fault.comeBackAfterMs * 1000 : never,
            d->powerOnMode());
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
                const bool encoded = setup.request == 1;
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

    if (result >= 0 && setup.requestType == 0x40) {
        if (setup.request == 3)
            costUs += timing.pageProgramUs;
        else if (setup.request == 6)
            costUs += timing.externalWriteUs;
    }
    if (effects.leaveBus) {
        // The firmware restarts: the application into the bootloader, the
        // bootloader into the application only when the application checks.
        const Mode next = d->mode == Mode::Application ? Mode::Bootloader : d->powerOnMode();
        const uint64_t back = d->cfg.returnsAfterReset
            ? now + costUs + uint64_t(timing.reenumerationMs) * 1000
            : never;
        d->leave(back, next);
    }
    sleepUs = charge(*d, costUs, startUs);
    rec.lengthReturned = result;
    rec.timeMs = (nowUs() + sleepUs) / 1000;
    record(rec);
    if (served)
        *served = rec;
    return result;
}

} // namespace kelto::emu::detail
