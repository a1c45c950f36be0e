// The control interface of emulator.h over the shared state.
#include "emulator.h"

#include "state.h"

#include <algorithm>
#include <cstring>

namespace kelto::emu {

using detail::Device;
using detail::state;

namespace {

using Lock = std::lock_guard<std::mutex>;

// Ids that name no device are ignored by setters and give neutral values
// from getters, so that a test typo cannot crash the run.
template<typename Fn> void withDevice(int id, Fn fn)
{
    auto &s = state();
    Lock lock(s.mutex);
    if (Device *d = s.device(id))
        fn(s, *d);
}

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

void reset()
{
    auto &s = state();
    Lock lock(s.mutex);
    s.resetLocked();
}

void removeAllDevices()
{
    auto &s = state();
    Lock lock(s.mutex);
    ++s.epoch; // handles of removed devices die with them
    s.devices.clear();
    s.resetBus();
}

int addDevice(const DeviceConfig &config)
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.add(config).id;
}

std::size_t deviceCount()
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.devices.size();
}

void configure(const DeviceConfig &config, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        // The libusb descriptor follows at the next bus scan: the host reads
        // it under its own lock, between scans.
        d.cfg = config;
        if (d.ext.size() != config.externalFlashSize)
            d.ext.resize(config.externalFlashSize, 0xFF);
    });
}

DeviceConfig config(int device)
{
    DeviceConfig c;
    withDevice(device, [&](detail::State &, Device &d) { c = d.cfg; });
    return c;
}

void unplug(int device)
{
    withDevice(device, [](detail::State &, Device &d) { d.leave(detail::never, d.mode); });
}

void plug(int device)
{
    withDevice(device, [](detail::State &s, Device &d) {
        if (!d.present) {
            // Plugging in powers the converter up: its bootloader starts the
            // application only when the application checks.
            d.present = true;
            d.returnAtUs = detail::never;
            d.mode = d.powerOnMode();
            s.arrive(d);
        }
    });
}

bool present(int device)
{
    bool p = false;
    withDevice(device, [&](detail::State &s, Device &d) {
        s.refresh(d);
        p = d.present;
    });
    return p;
}

Mode mode(int device)
{
    Mode m = Mode::Application;
    withDevice(device, [&](detail::State &s, Device &d) {
        s.refresh(d);
        m = d.present ? d.mode : d.returnMode;
    });
    return m;
}

void setMode(Mode m, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        d.mode = m;
        d.returnMode = m;
    });
}

void setTiming(const Timing &t)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.timing = t;
}

Timing timing()
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.timing;
}

void setClockMode(ClockMode m)
{
    auto &s = state();
    Lock lock(s.mutex);
    if (m == s.clockMode)
        return;
    // Keep the time continuous across the switch.
    const uint64_t now = s.nowUs();
    s.clockMode = m;
    if (m == ClockMode::Virtual)
        s.virtualUs = now;
    else
        s.realStart = std::chrono::steady_clock::now() - std::chrono::microseconds(now);
}

uint64_t nowMs()
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.nowUs() / 1000;
}

void advance(uint64_t ms)
{
    auto &s = state();
    Lock lock(s.mutex);
    if (s.clockMode == ClockMode::Virtual)
        s.virtualUs += ms * 1000;
    s.refreshAll();
}

void virtualSleep(unsigned long ms)
{
    auto &s = state();
    {
        Lock lock(s.mutex);
        if (s.clockMode == ClockMode::Virtual) {
            s.virtualUs += uint64_t(ms) * 1000;
            s.refreshAll();
            return;
        }
    }
    detail::realSleepUs(uint64_t(ms) * 1000);
}

void injectFault(const Fault &fault, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        detail::ActiveFault f;
        f.fault = fault;
        f.skip = fault.nth ? fault.nth - 1 : 0;
        f.remaining = fault.count;
        if (f.remaining)
            d.faults.push_back(f);
    });
}

void clearFaults(int device)
{
    withDevice(device, [](detail::State &, Device &d) { d.faults.clear(); });
}

void scriptReplies(const std::vector<ScriptedReply> &replies)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.script.assign(replies.begin(), replies.end());
}

std::size_t scriptedRepliesLeft()
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.script.size();
}

std::vector<TransferRecord> transferLog()
{
    auto &s = state();
    Lock lock(s.mutex);
    return s.log;
}

std::vector<TransferRecord> transferLog(uint8_t request)
{
    auto &s = state();
    Lock lock(s.mutex);
    std::vector<TransferRecord> out;
    for (const auto &r : s.log)
        if (r.request == request && (r.requestType & 0x60) == 0x40)
            out.push_back(r);
    return out;
}

void clearTransferLog()
{
    auto &s = state();
    Lock lock(s.mutex);
    s.log.clear();
}

void setTransferLogging(bool on)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.logging = on;
}

void mirrorSysfs(const std::string &root)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.sysfsMirror = root;
}

void setTransferHook(std::function<void(const TransferRecord &)> hook)
{
    auto &s = state();
    Lock lock(s.mutex);
    s.transferHook = std::move(hook);
}

std::vector<uint8_t> flash(int device)
{
    std::vector<uint8_t> out;
    withDevice(device, [&](detail::State &, Device &d) { out = d.flash; });
    return out;
}

void writeFlash(uint32_t address, const std::vector<uint8_t> &bytes, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const uint64_t a = uint64_t(address) + i;
            if (a >= flashBase && a < uint64_t(flashBase) + flashSize)
                d.flash[a - flashBase] = bytes[i];
        }
    });
}

std::vector<uint8_t> externalFlash(int device)
{
    std::vector<uint8_t> out;
    withDevice(device, [&](detail::State &, Device &d) { out = d.ext; });
    return out;
}

void writeExternalFlash(uint32_t address, const std::vector<uint8_t> &bytes, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            const uint64_t a = uint64_t(address) + i;
            if (a < d.ext.size())
                d.ext[a] = bytes[i];
        }
    });
}

uint32_t statusWord(int device)
{
    uint32_t w = 0;
    withDevice(device, [&](detail::State &, Device &d) { w = d.status; });
    return w;
}

void setStatusWord(uint32_t word, int device)
{
    withDevice(device, [&](detail::State &, Device &d) { d.status = word; });
}

std::string reportedSerial(int device)
{
    std::string out;
    withDevice(device, [&](detail::State &, Device &d) { out = d.reportedSerial(); });
    return out;
}

int openHandles(int device)
{
    int n = 0;
    withDevice(device, [&](detail::State &, Device &d) { n = d.handles; });
    return n;
}

uint32_t applicationChecksum(const uint8_t *area)
{
    constexpr uint32_t words = (applicationEnd - applicationBase) / 4 - 1;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < words; ++i)
        sum += get32(area + 4 * i);
    return sum;
}

bool applicationValid(int device)
{
    bool v = false;
    withDevice(device, [&](detail::State &, Device &d) { v = d.applicationValid(); });
    return v;
}

void installValidApplication(int device)
{
    withDevice(device, [](detail::State &, Device &d) { d.installValidApplication(); });
}

void setBallastData(
    const std::vector<uint8_t> &vrb, const std::vector<uint8_t> &records, int device)
{
    withDevice(device, [&](detail::State &, Device &d) {
        d.fixedBallastData = true;
        d.vrb.assign(vrbSize, 0);
        std::copy_n(vrb.begin(), std::min(vrb.size(), vrbSize), d.vrb.begin());
        d.records.assign(ballastRecordSize * ballastCount, 0);
        std::copy_n(records.begin(), std::min(records.size(), d.records.size()), d.records.begin());
    });
}

void generatedBallastData(int device)
{
    withDevice(device, [](detail::State &, Device &d) { d.fixedBallastData = false; });
}

} // namespace kelto::emu
