#ifndef KELTO_EMULATOR_STATE_H
#define KELTO_EMULATOR_STATE_H

#include "device.h"
#include "emulator.h"

#include <usb.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// An open device as the host holds it. It names its device by id and the
// generation it was opened in, so that a device that left the bus (or an
// emulator reset) turns every old handle into a dead one.
struct usb_dev_handle
{
    int device = -1;
    uint64_t generation = 0;
    uint64_t epoch = 0;
    bool claimed = false;
};

namespace kelto::emu::detail {

// The setup stage of a control transfer and the host's timeout.
struct Setup
{
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    int length = 0;
    unsigned timeoutMs = 0;
};

struct State
{
    std::mutex mutex;
    uint64_t epoch = 1;
    std::vector<std::unique_ptr<Device>> devices;
    Timing timing;
    ClockMode clockMode = ClockMode::Virtual;
    uint64_t virtualUs = 0;
    std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();
    bool logging = true;
    bool trace = false; // every transfer to stderr (the preloaded build)
    std::vector<TransferRecord> log;
    std::function<void(const TransferRecord &)> transferHook;
    std::deque<ScriptedReply> script;
    // Bus objects and root hub entries by bus number, kept for the whole run
    // so that pointers the host took from usb_get_busses() stay valid.
    std::map<unsigned, std::unique_ptr<usb_bus>> busses;
    std::map<unsigned, std::unique_ptr<struct usb_device>> hubs;
    usb_bus *busList = nullptr;
    // The address the next device arriving on a bus gets (1 is the hub's).
    std::map<unsigned, unsigned> nextAddress;
    // When each bus folder and each device node appeared (one count for
    // both): the order in which the library reads them.
    uint64_t nodeCount = 0;
    std::map<unsigned, uint64_t> busBorn;
    // The lists as the library holds them between scans (its own memory,
    // reset with the bus): busses and, per bus, devices in list order.
    std::vector<unsigned> hostBusses;
    std::map<unsigned, std::vector<struct usb_device *>> hostDevices;
    // Where findDevices() keeps the bus as sysfs shows it; empty: nowhere.
    std::string sysfsMirror;

    uint64_t nowUs() const;
    // Charges time to a device: advances the virtual clock, or returns the
    // microseconds the caller has to wait (after unlocking) on the real clock.
    uint64_t charge(Device &d, uint64_t us, uint64_t startUs = never);
    void refreshAll();
    // Brings the device back when its time has come, with a new address.
    void refresh(Device &d);
    // A device appears on its bus: it gets the next free address.
    void arrive(Device &d);
    Device &add(const DeviceConfig &config);
    // One control transfer, the same for both front ends: on device `id`
    // as opened in `generation` / `epoch` (a device that left since fails
    // with errNoDevice), through the script, the faults, the request set
    // (standard GET_DESCRIPTOR included) and the timing model. Returns the
    // byte count or a negative errno; `sleepUs` is what the caller has to
    // wait on the real clock after unlocking (0 in virtual time). Logs it.
    // `served` receives the record of a vendor transfer a device served.
    // `arrived` is when the setup reached the device (real clock): the
    // front end's own work since then overlaps the device's time.
    int transfer(int id, uint64_t generation, uint64_t epochOpened, const Setup &setup,
        uint8_t *data, uint64_t &sleepUs,
        std::chrono::steady_clock::time_point arrived
        = std::chrono::steady_clock::time_point::max(),
        std::optional<TransferRecord> *served = nullptr);
    // usb_find_busses and usb_find_devices as the system's libusb-0.1 does
    // them on a /dev/bus/usb that is a tmpfs: see state.cpp.
    void findBusses();
    void findDevices();
    void relink();
    // The converter's port on its bus (its place among the converters of
    // that bus), the same across its restarts: "B-<port>" in sysfs.
    unsigned portOf(const Device &d) const;
    void writeSysfsMirror() const;
    // The bus as an empty test bed has it: bus 1's folder and hub only.
    void resetBus();
    Device *device(int id);
    // The device behind a handle, or null when the handle is dead.
    Device *live(const usb_dev_handle *handle);
    Device *live(int id, uint64_t generation, uint64_t epochOpened);
    void record(const TransferRecord &r);
    void resetLocked();
};

// The one emulator state of the process; the first call builds the
// state of reset().
State &state();

// Sleeps on the real clock (called without the lock held).
void realSleepUs(uint64_t us);

} // namespace kelto::emu::detail

#endif
