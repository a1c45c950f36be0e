#include "setup.h"

#include "emulator.h"
#include "imagetransform.h"
#include "state.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace kelto::emu {

namespace {

std::string env(const char *name)
{
    const char *v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// The header, version and image items of an upgrade file: two strings and
// a byte array of a big-endian data stream. Returns the image, or nothing
// when the bytes are not such a file.
std::vector<uint8_t> upgradeImage(const std::vector<uint8_t> &file)
{
    static const char header[] = "Kelto Upgrade File Header";
    size_t at = 0;
    auto item = [&](std::vector<uint8_t> &out) {
        if (file.size() < at + 4)
            return false;
        const uint32_t n = be32(&file[at]);
        at += 4;
        if (n == 0xFFFFFFFFu || file.size() - at < n)
            return false;
        out.assign(file.begin() + long(at), file.begin() + long(at + n));
        at += n;
        return true;
    };
    std::vector<uint8_t> h, v, image;
    if (!item(h) || !item(v) || !item(image) || h.size() != 2 * (sizeof header - 1))
        return {};
    for (size_t i = 0; i + 1 < sizeof header; ++i)
        if (h[2 * i] != 0 || h[2 * i + 1] != uint8_t(header[i]))
            return {};
    if (image.size() < flashSize)
        return {};
    image.resize(flashSize);
    kelto::decodeWords(image.data(), flashSize);
    return image;
}

bool number(const std::string &text, long &out)
{
    char *end = nullptr;
    out = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && end && *end == '\0';
}

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, by))
        parts.push_back(part);
    return parts;
}

// "REQUEST:NTH[:COUNT]" (stall, timeout) or "REQUEST:NTH[:BACK_MS]" (pull,
// power); REQUEST is a number or * for any.
bool parseFault(const std::string &kind, const std::string &text, Fault &f, std::string &error)
{
    const std::vector<std::string> p = split(text, ':');
    long request = -1, nth = 0, last = 0;
    const bool ok = p.size() >= 2 && p.size() <= 3 && (p[0] == "*" || number(p[0], request))
        && number(p[1], nth) && nth >= 1 && (p.size() < 3 || (number(p[2], last) && last >= 0));
    if (!ok) {
        error = "cannot read " + kind + " '" + text + "'";
        return false;
    }
    f.request = int(request);
    f.nth = unsigned(nth);
    if (kind == "power") {
        f.kind = FaultKind::PowerCut;
        f.comeBack = p.size() == 3;
        f.comeBackAfterMs = uint64_t(last);
    } else if (kind == "pull") {
        f.kind = FaultKind::DropOff;
        // A pulled cable takes the power of a bus-powered converter.
        f.comeBack = p.size() == 3;
        f.comeBackAfterMs = uint64_t(last);
        f.powerCycle = true;
    } else {
        f.kind = FaultKind::Error;
        f.error = kind == "timeout" ? errTimeout : errStall;
        f.count = p.size() == 3 ? unsigned(last) : 1;
    }
    return true;
}

} // namespace

bool loadImage(const std::string &path, int device, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file {
        std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    constexpr uint32_t appSize = applicationEnd - applicationBase;
    constexpr uint32_t extSection = 0x14000;
    std::vector<uint8_t> image = upgradeImage(file);
    if (image.empty() && file.size() == flashSize)
        image = file; // a plain flash image
    if (!image.empty()) {
        const auto app = image.begin() + (applicationBase - flashBase);
        writeFlash(applicationBase, std::vector<uint8_t>(app, app + appSize), device);
        // The external flash holds its section encoded, as a firmware
        // change leaves it.
        std::vector<uint8_t> ext(image.begin() + 0x40000, image.begin() + 0x40000 + extSection);
        kelto::encodeWords(ext.data(), extSection);
        writeExternalFlash(0, ext, device);
    } else if (file.size() == appSize) {
        writeFlash(applicationBase, file, device); // the application area alone
    } else {
        error = path + " is neither an upgrade file nor a raw image";
        return false;
    }
    if (!applicationValid(device))
        error = "the application in " + path + " fails its checksum";
    return true;
}

int addConverter(const std::string &description, std::string &error)
{
    DeviceConfig c;
    std::vector<Fault> faults;
    std::string image;
    for (const std::string &item : split(description, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        long n = 0;
        Fault f;
        if (key == "serial" && value.size() == 9) {
            c.serial = value;
        } else if (key == "mode" && (value == "application" || value == "bootloader")) {
            c.mode = value == "bootloader" ? Mode::Bootloader : Mode::Application;
        } else if (key == "bus" && number(value, n) && n >= 1 && n <= 127) {
            c.bus = unsigned(n);
        } else if (key == "image" && !value.empty()) {
            image = value;
        } else if (key == "access" && (value == "none" || value == "read-only")) {
            c.noAccess = value == "none";
            c.permissionDenied = value == "read-only";
        } else if (key == "busy" && value.empty()) {
            c.failClaim = true;
        } else if (key == "gone-after-reset" && value.empty()) {
            c.returnsAfterReset = false;
        } else if ((key == "stall" || key == "timeout" || key == "pull" || key == "power")
            && parseFault(key, value, f, error)) {
            faults.push_back(f);
        } else {
            if (error.empty())
                error = "cannot use '" + item + "' in converter '" + description + "'";
            return -1;
        }
    }
    const int id = addDevice(c);
    for (const Fault &f : faults)
        injectFault(f, id);
    if (!image.empty() && !loadImage(image, id, error))
        return -1;
    return id;
}

bool setUpFromEnvironment(std::string &error)
{
    reset();
    setClockMode(ClockMode::Real);
    setTiming(env("KELTO_EMU_TIMING") == "zero" ? Timing::zero() : Timing::realistic());
    setTransferLogging(false);
    removeAllDevices();
    {
        auto &s = detail::state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.trace = env("KELTO_EMU_TRACE") == "1";
    }

    long count = 1;
    if (!env("KELTO_EMU_DEVICES").empty()
        && (!number(env("KELTO_EMU_DEVICES"), count) || count < 0 || count > 1000)) {
        error = "KELTO_EMU_DEVICES must be a number of converters";
        return false;
    }
    // Converters after the first count their serial's digits up: KT0000001,
    // KT0000002, ...
    const std::string first
        = env("KELTO_EMU_SERIAL").empty() ? "KT0000001" : env("KELTO_EMU_SERIAL");
    for (long i = 0; i < count; ++i) {
        std::string serial = first;
        for (long carry = i, at = long(serial.size()) - 1; carry && at >= 0; --at) {
            if (serial[size_t(at)] < '0' || serial[size_t(at)] > '9')
                break;
            const long digit = serial[size_t(at)] - '0' + carry;
            serial[size_t(at)] = char('0' + digit % 10);
            carry = digit / 10;
        }
        DeviceConfig c;
        c.serial = serial;
        c.mode = env("KELTO_EMU_MODE") == "bootloader" ? Mode::Bootloader : Mode::Application;
        const int id = addDevice(c);
        if (!env("KELTO_EMU_APP_IMAGE").empty()
            && !loadImage(env("KELTO_EMU_APP_IMAGE"), id, error))
            return false;
    }
    return true;
}

} // namespace kelto::emu
