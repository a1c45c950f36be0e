#ifndef KELTO_EMULATOR_DEVICE_H
#define KELTO_EMULATOR_DEVICE_H

#include "emulator.h"

#include <usb.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace kelto::emu::detail {

constexpr uint64_t never = std::numeric_limits<uint64_t>::max();

// A fault as it counts down.
struct ActiveFault
{
    Fault fault;
    unsigned skip = 0; // matching transfers still to let through
    unsigned remaining = 0; // firings left
};

// What a vendor request did besides its result.
struct Effects
{
    bool leaveBus = false; // request 4: restart into the other mode
};

// One emulated converter: its memories, its mode and its request set. Not
// locked by itself; the emulator's one mutex guards every Device.
class Device
{
public:
    Device(int id, const DeviceConfig &config);

    // A vendor request as the firmware sees it. `data` holds `length`
    // bytes (IN: filled by the device). Returns the byte count or a
    // negative libusb code (errStall for anything refused).
    int vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
        uint8_t *data, int length, uint64_t nowUs, Effects &effects);
    // usb_get_descriptor. Returns the full descriptor (the caller truncates)
    // or an empty vector and a negative code in `error`.
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index, int &error) const;

    std::string reportedSerial() const;
    bool applicationValid() const;
    void installValidApplication();
    void writeBootloaderFacts();
    // Copies identity from cfg into the libusb device descriptor.
    void updateDescriptor();

    // Presence on the bus; `generation` changes whenever the device leaves,
    // so that handles opened before fail. refresh() brings a device whose
    // come-back time has passed back and says so (the caller gives it its
    // new address).
    void leave(uint64_t returnAtUs, Mode returnMode);
    bool refresh(uint64_t nowUs);
    // The mode a power-on starts in: the bootloader starts the application
    // only when the application's checksum is right.
    Mode powerOnMode() const;
    // What survives of a write request the power failed in the middle of:
    // flash is programmed front to back, so half of the data stage.
    void interruptedWrite(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
        const uint8_t *data, int length);

    int id;
    DeviceConfig cfg;
    Mode mode;
    bool present = true;
    uint64_t returnAtUs = never;
    Mode returnMode = Mode::Application;
    uint64_t generation = 0;
    int handles = 0;
    // Address on its bus; a new one at every arrival, as a hub gives it.
    unsigned devnum = 0;
    // When its node appeared (State::nodeCount).
    uint64_t born = 0;
    // The open handle (in-process) or file (usbfs) holding interface 0.
    const void *claimedBy = nullptr;
    // The device's own timeline on the real clock: its transfers follow one
    // another, while other devices' transfers run beside them.
    uint64_t busyUntilUs = 0;

    std::vector<uint8_t> flash;
    std::vector<uint8_t> ext;
    uint32_t status = 0;
    bool fixedBallastData = false;
    std::vector<uint8_t> vrb;
    std::vector<uint8_t> records;
    std::vector<ActiveFault> faults;

    // The device's entry in the in-process libusb bus lists (usb_device::dev
    // points back here); a new entry after every arrival, the old ones are
    // kept so that pointers the host still holds stay readable.
    std::unique_ptr<struct usb_device> node;
    std::vector<std::unique_ptr<struct usb_device>> oldNodes;

private:
    void generateBallastData(uint64_t nowUs, uint8_t *vrbOut, uint8_t *recordsOut) const;
};

} // namespace kelto::emu::detail

#endif
