// Set-up of the preloaded emulator (libkelto-emulator.so) from its own
// environment variables, before the program's main() runs. The program
// itself reads no environment; only this library does.
#include "emulator.h"
#include "imagetransform.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace emu = kelto::emu;

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
    if (image.size() < emu::flashSize)
        return {};
    image.resize(emu::flashSize);
    kelto::decodeWords(image.data(), emu::flashSize);
    return image;
}

void loadImage(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file {
        std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    constexpr uint32_t appSize = emu::applicationEnd - emu::applicationBase;
    constexpr uint32_t extSection = 0x14000;
    std::vector<uint8_t> image = upgradeImage(file);
    if (image.empty() && file.size() == emu::flashSize)
        image = file; // a plain flash image
    if (!image.empty()) {
        const auto app = image.begin() + (emu::applicationBase - emu::flashBase);
        emu::writeFlash(emu::applicationBase, std::vector<uint8_t>(app, app + appSize));
        const auto ext = image.begin() + 0x40000;
        emu::writeExternalFlash(0, std::vector<uint8_t>(ext, ext + extSection));
    } else if (file.size() == appSize) {
        emu::writeFlash(emu::applicationBase, file); // the application area alone
    } else {
        std::fprintf(stderr, "kelto-emulator: %s is neither an upgrade file nor a raw image\n",
            path.c_str());
        return;
    }
    if (!emu::applicationValid())
        std::fprintf(
            stderr, "kelto-emulator: the application in %s fails its checksum\n", path.c_str());
}

__attribute__((constructor)) void configureFromEnvironment()
{
    emu::reset();
    emu::setClockMode(emu::ClockMode::Real);
    emu::setTiming(
        env("KELTO_EMU_TIMING") == "zero" ? emu::Timing::zero() : emu::Timing::realistic());
    emu::setTransferLogging(false);

    emu::DeviceConfig c;
    if (!env("KELTO_EMU_SERIAL").empty())
        c.serial = env("KELTO_EMU_SERIAL");
    if (env("KELTO_EMU_MODE") == "bootloader")
        c.mode = emu::Mode::Bootloader;
    emu::removeAllDevices();
    if (env("KELTO_EMU_DEVICES") == "0")
        return;
    emu::addDevice(c);
    if (!env("KELTO_EMU_APP_IMAGE").empty())
        loadImage(env("KELTO_EMU_APP_IMAGE"));
    if (env("KELTO_EMU_TRACE") == "1") {
        auto &s = kelto::emu::detail::state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.trace = true;
    }
}

} // namespace
