#ifndef KELTO_EMULATOR_EMULATOR_H
#define KELTO_EMULATOR_EMULATOR_H

// Control interface of the emulated converter.
//
// The emulator implements the libusb-0.1 functions the transport calls
// (usb_init ... usb_close, see /usr/include/usb.h) on top of a virtual bus
// that holds any number of emulated converters. Test executables link the
// static library kelto_emulator instead of the system libusb; the shared
// library libkelto-emulator.so does the same for the shipped program when it
// is preloaded (see README.md).
//
// Every function here is thread-safe (one internal mutex) and may be called
// while other threads run USB operations. None of it depends on Qt.
//
// Typical test set-up:
//
//     kelto::emu::reset();                        // one default device
//     kelto::setSleepFunction(kelto::emu::virtualSleep);
//     USBMIREL dev;
//     ...
//     QCOMPARE(kelto::emu::statusWord(), 0x5u);
//     auto log = kelto::emu::transferLog();
//
// Devices are addressed by the id that addDevice() returns; the default
// device made by reset() has id 0, and every id argument defaults to 0.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelto::emu {

// ---------------------------------------------------------------- constants

// Internal flash as the host addresses it.
constexpr uint32_t flashBase = 0x08000000u;
constexpr uint32_t flashSize = 0x60000u; // 0x08000000 .. 0x0805FFFF
constexpr uint32_t bootloaderEnd = 0x08004000u;
constexpr uint32_t applicationBase = 0x08004000u;
constexpr uint32_t applicationEnd = 0x08040000u; // one past the last byte
constexpr uint32_t applicationChecksumAddress = 0x0803FFFCu;
constexpr uint32_t pageSize = 2048;
// Bootloader facts the host reads back.
constexpr uint32_t bootloaderBrandAddress = 0x08003FD0u; // 16-bit little-endian
constexpr uint32_t bootloaderVersionAddress = 0x08003FE0u; // NUL-terminated, 16 bytes
constexpr uint32_t bootloaderSerialAddress = 0x08003FF0u; // 9 characters
constexpr uint32_t externalFlashDefaultSize = 0x100000u; // 1 MiB, erased (0xFF)

constexpr std::size_t vrbSize = 864;
constexpr std::size_t ballastRecordSize = 28;
constexpr std::size_t ballastCount = 64;

// Negative results of the libusb functions, as the real library gives them.
constexpr int errStall = -32; // -EPIPE: the device refused the request
constexpr int errNoDevice = -19; // -ENODEV: the device has left the bus
constexpr int errTimeout = -110; // -ETIMEDOUT
constexpr int errBusy = -16; // -EBUSY (claim failures)
constexpr int errPermission = -1; // -EPERM: the device node is not writable for us

// -------------------------------------------------------------- device set-up

enum class Mode { Application, Bootloader };

struct DeviceConfig
{
    // Bus the device hangs on. The bus lists come out as the system's
    // libusb-0.1 makes them: newest bus and newest device first, entries
    // from an earlier scan keeping their place.
    unsigned bus = 1;
    uint16_t vendorId = 0x16C0;
    uint16_t productId = 0x078B;
    // Replies to the identity requests 255 and 254.
    uint16_t zvid = 0x00FF;
    uint16_t brandId = 0x0000;
    // Nine characters. The bootloader reports it with 'b' appended. It is
    // also written into the bootloader area at 0x08003FF0.
    std::string serial = "KT0000001";
    // Version text stored at 0x08003FE0 (at most 15 characters + NUL).
    std::string bootloaderVersion = "KBL 2.04";
    Mode mode = Mode::Application;
    // Size of the external flash in bytes.
    uint32_t externalFlashSize = externalFlashDefaultSize;

    // Faults of the device as a whole.
    bool failOpen = false; // usb_open returns null
    bool failSetConfiguration = false; // usb_set_configuration returns errStall
    bool failClaim = false; // usb_claim_interface returns errBusy
    // The device node is not ours to use, as without the udev rule: the
    // node can only be opened read-only (usb_open succeeds, configuring
    // fails with errPermission), or, with noAccess, not at all (usb_open
    // returns null with errno EACCES).
    bool permissionDenied = false;
    bool noAccess = false;
    // After a restart by request 4: does the device come back on the bus?
    bool returnsAfterReset = true;

    // Serial-number descriptor override: when non-empty, usb_get_descriptor
    // for string 3 returns exactly these bytes (truncated to the caller's
    // buffer), whatever they claim in their length field.
    std::vector<uint8_t> serialDescriptor;
    // When non-zero, usb_get_descriptor returns this (negative) code.
    int serialDescriptorError = 0;
};

// Puts the emulator back to its initial state: exactly one default device
// (id 0, bus 1, application mode, a valid application, erased external
// flash, status word 0), zero timing, virtual clock at 0, empty transfer
// log, no faults, no scripted replies, generated ballast data. Handles
// that the host still holds from before fail with errNoDevice.
void reset();
// Removes every device (the bus becomes empty). Clock and log are kept.
void removeAllDevices();
// Adds a device; returns its id (ids count up from 0 after reset()).
int addDevice(const DeviceConfig &config = DeviceConfig());
std::size_t deviceCount();
// Changes the configuration of a device in place (identity, faults,
// descriptor override). Flash contents are not touched; changing serial or
// bootloaderVersion here does not rewrite the bootloader area either. New
// vendor / product IDs show in the bus lists from the next usb_find_devices
// (the next connect).
void configure(const DeviceConfig &config, int device = 0);
DeviceConfig config(int device = 0);

// Unplugging makes open handles fail with errNoDevice and hides the device
// from the next bus scan. Plugging it in again powers it up: it shows at the
// next scan with the same memories, a new device number (a new entry in the
// bus list) and the mode its bootloader chooses (the application when the
// application's checksum is right, else the bootloader). A plugged device's
// next handle is a new one. plug() also brings back a device that left the
// bus for good (a restart with returnsAfterReset false, a DropOff without
// comeBack).
void unplug(int device = 0);
void plug(int device = 0);
bool present(int device = 0);

// Current mode, and forcing a mode without a restart (the device stays on
// the bus; open handles stay valid).
Mode mode(int device = 0);
void setMode(Mode mode, int device = 0);

// ------------------------------------------------------------------ timing

// Time model of one device link. All times are charged to the clock: in
// virtual-clock mode they advance the virtual clock, in real-clock mode the
// calling thread sleeps (outside the emulator's lock).
struct Timing
{
    uint32_t transferOverheadUs = 0; // per control transfer (setup + status)
    uint32_t nsPerByte = 0; // data stage
    uint32_t pageProgramUs = 0; // erase + program of one 2048-byte page
    uint32_t externalWriteUs = 0; // per external flash write transfer
    uint32_t reenumerationMs = 0; // off the bus after request 4

    static Timing zero() { return Timing(); }
    // Full-speed control transfers (64-byte packets, ~800 KB/s when the bus
    // is otherwise idle), a page of internal flash in ~40 ms, external flash
    // page programming ~1.5 ms, ~1.2 s to re-enumerate.
    static Timing realistic() { return Timing {1000, 1250, 40000, 1500, 1200}; }
};
void setTiming(const Timing &timing);
Timing timing();

// ------------------------------------------------------------------- clock

enum class ClockMode { Virtual, Real };
// Virtual (the default after reset()): time moves only by advance(),
// virtualSleep() and the timing model. Real: milliseconds since the switch.
void setClockMode(ClockMode mode);
// Current time in milliseconds (virtual or real).
uint64_t nowMs();
// Moves the virtual clock forward; devices whose re-enumeration or
// come-back time has passed reappear on the bus.
void advance(uint64_t ms);
// Signature of kelto::SleepFunction: install it with
// kelto::setSleepFunction(kelto::emu::virtualSleep) so that the program's
// fixed waits advance the virtual clock instead of sleeping.
void virtualSleep(unsigned long ms);

// --------------------------------------------------------- fault injection

enum class FaultKind {
    Error, // the transfer fails with `error`; nothing is done. errTimeout
           // costs the host's whole timeout
    Short, // only `shortCount` bytes are transferred (OUT: not applied)
    Corrupt, // done normally, then byte `byteOffset` is XORed with `xorMask`
             // (IN: in the reply; OUT: in the data before it is applied)
    DropOff, // the transfer fails with errNoDevice and the device leaves
             // the bus; it comes back after `comeBackAfterMs` when
             // `comeBack` is set (in the same firmware, or powered up as by
             // plug() with `powerCycle`), else it stays away until plug()
    PowerCut, // the power fails while the device works on the transfer:
              // a page write (request 3) leaves its page erased with only
              // its first half programmed, an external flash write
              // (request 6) only its first half written; the transfer fails
              // with errNoDevice, the device leaves the bus and, with
              // `comeBack`, powers up after `comeBackAfterMs` as by plug()
};

struct Fault
{
    FaultKind kind = FaultKind::Error;
    // Vendor request code the fault applies to; -1 for any. Only vendor
    // transfers (usb_control_msg) are counted, not descriptor reads.
    int request = -1;
    // The fault fires on the nth matching transfer from the moment it was
    // injected (1 = the next one) ...
    unsigned nth = 1;
    // ... and on the `count` - 1 matching transfers after it.
    unsigned count = 1;
    int error = errStall;
    int shortCount = 0;
    std::size_t byteOffset = 0;
    uint8_t xorMask = 0x01;
    bool comeBack = true;
    uint64_t comeBackAfterMs = 0;
    bool powerCycle = false;
};
void injectFault(const Fault &fault, int device = 0);
void clearFaults(int device = 0);

// Shorthands.
inline void failTransfer(unsigned nth, int request = -1, int device = 0)
{
    Fault f;
    f.nth = nth;
    f.request = request;
    injectFault(f, device);
}
inline void shortTransfer(unsigned nth, int shortCount, int request = -1, int device = 0)
{
    Fault f;
    f.kind = FaultKind::Short;
    f.nth = nth;
    f.request = request;
    f.shortCount = shortCount;
    injectFault(f, device);
}

// Scripted replies bypass the device model completely: each control
// transfer (vendor or descriptor read) on any device takes the next reply
// in order until the script is used up. IN transfers receive
// min(data.size(), length) bytes; every transfer returns `result` as it
// stands, hostile values included. Used by the fuzzer.
struct ScriptedReply
{
    int result = 0;
    std::vector<uint8_t> data;
};
void scriptReplies(const std::vector<ScriptedReply> &replies);
std::size_t scriptedRepliesLeft();

// -------------------------------------------------------------- inspection

enum class Direction { In, Out };

struct TransferRecord
{
    int device = 0;
    Direction direction = Direction::In;
    uint8_t requestType = 0; // 0xC0 vendor IN, 0x40 vendor OUT, 0x80 GET_DESCRIPTOR
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    int lengthAsked = 0;
    int lengthReturned = 0; // the result given to the host (negative: error)
    uint64_t timeMs = 0; // clock at the end of the transfer
};
// Every control transfer that reached a device (vendor requests and
// descriptor reads), in order. Transfers on a handle whose device has gone
// are logged too, with errNoDevice.
std::vector<TransferRecord> transferLog();
// Only the vendor transfers with the given request code.
std::vector<TransferRecord> transferLog(uint8_t request);
void clearTransferLog();
// Logging is on after reset(); long runs (benchmarks, the preloaded
// program) may switch it off so that the log does not grow without bound.
void setTransferLogging(bool on);
// The in-process bus as the kernel's sysfs shows it, rewritten under `root`
// at every scan of the bus (usb_find_devices): bus/usb/devices/B-P with
// idVendor, idProduct, busnum, devnum, devpath and serial, each converter at
// the port the test bed gives it. A host pointed there (kelto::setSysfsRoot)
// finds serials and port paths as under the bed. Empty (after reset()): none.
void mirrorSysfs(const std::string &root);
// Called after every vendor transfer a device served, in the host's thread
// and outside the emulator's lock, so that a test can act at an exact point
// of a run (for instance send a signal in the middle of the page loop).
// reset() removes it.
void setTransferHook(std::function<void(const TransferRecord &)> hook);

// Internal flash, 0x60000 bytes for 0x08000000 .. 0x0805FFFF, plain (as
// stored, not in the wire encoding).
std::vector<uint8_t> flash(int device = 0);
// Writes plain bytes into internal flash at a device address (test set-up;
// no mode or area checks). Out-of-range parts are ignored.
void writeFlash(uint32_t address, const std::vector<uint8_t> &bytes, int device = 0);
std::vector<uint8_t> externalFlash(int device = 0);
void writeExternalFlash(uint32_t address, const std::vector<uint8_t> &bytes, int device = 0);
uint32_t statusWord(int device = 0);
void setStatusWord(uint32_t word, int device = 0);
// The serial-number string the device reports now (serial, plus 'b' in the
// bootloader).
std::string reportedSerial(int device = 0);
// Number of handles the host has open on the device (leak checks).
int openHandles(int device = 0);

// The 32-bit sum of the 61,439 little-endian words of the application area
// before its last word (0x08004000 .. 0x0803FFFB). `area` is the
// 245,760-byte application area.
uint32_t applicationChecksum(const uint8_t *area);
// True when the application area's last word equals its checksum: only
// then does the bootloader start the application.
bool applicationValid(int device = 0);
// Replaces the application area by a deterministic, valid application
// (brand 0 at 0x0803FFD0, correct checksum).
void installValidApplication(int device = 0);

// ----------------------------------------------------------- ballast data

// By default requests 10 and 11 return generated data that changes slowly
// with the clock (levels move once a second). These setters replace it by
// fixed data: `vrb` of 864 bytes, `records` of 28 bytes each (up to 64;
// missing records read as zero). generatedBallastData() restores the
// default.
void setBallastData(
    const std::vector<uint8_t> &vrb, const std::vector<uint8_t> &records, int device = 0);
void generatedBallastData(int device = 0);

} // namespace kelto::emu

#endif
