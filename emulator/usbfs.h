#ifndef KELTO_EMULATOR_USBFS_H
#define KELTO_EMULATOR_USBFS_H

// The emulated converters at the kernel's USB interface: a umockdev test bed
// in which every converter present in the model has its usbfs node
// /dev/bus/usb/BBB/DDD and its sysfs entry /sys/bus/usb/devices/B-P, served
// from the same model as the in-process replacement. Programs started with
// the bed's environment (environment()) find the converters through the
// system's libusb-0.1 as they would find hardware.
//
// Threads: umockdev answers the nodes on its own worker thread; nodes are
// added and removed only by sync(), which the owner calls from its main
// loop (the thread that made the bed).

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelto::emu {

class UsbfsBed
{
public:
    UsbfsBed();
    ~UsbfsBed();
    UsbfsBed(const UsbfsBed &) = delete;
    UsbfsBed &operator=(const UsbfsBed &) = delete;

    // The bed's folder (UMOCKDEV_DIR for the programs under it).
    std::string rootDir() const;
    // The variables a program needs to run under the bed: UMOCKDEV_DIR and
    // LD_PRELOAD with the bed's udev socket namer and umockdev's library
    // first, then `preload` (libraries for the program only,
    // ':'-separated), then what LD_PRELOAD held.
    std::vector<std::pair<std::string, std::string>> environment(
        const std::string &preload = std::string()) const;
    // Brings the nodes and sysfs entries in line with the model: converters
    // that left the bus lose theirs, converters that arrived get new ones
    // (with their new device numbers). Call from the main loop; it also
    // runs on the main context by itself right after a converter leaves.
    void sync();

    struct Impl;

private:
    std::unique_ptr<Impl> impl;
};

} // namespace kelto::emu

#endif
