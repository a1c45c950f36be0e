// The HEX reader in both modes, in memory. The first byte picks the mode and
// the regions, the second where the text is cut into three pieces: fed in
// pieces, the reader must end exactly as when fed the text whole, and it
// must never store outside its regions (each buffer is exactly as large).
#include "hexreader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using kelto::hex::Mode;
using kelto::hex::Region;
using kelto::hex::Result;

struct Window
{
    uint32_t low;
    uint32_t high;
};

// Regions as callers use them (an application and an external window in
// one strict pass) and at the edges of the address space. Windows are kept
// small: inputs of a few kilobytes cannot fill more, and clearing large ones
// would cost more than the reading.
const std::vector<std::vector<Window>> layouts = {
    {{0x00000000, 0x000000FF}},
    {{0x08004000, 0x08007FFF}, {0x08040000, 0x08041FFF}},
    {{0x08000000, 0x08003FFF}},
    {{0xFFFFFF00, 0xFFFFFFFF}},
    {{0x00001000, 0x00001000}},
    {{0x00000000, 0x0000000F}, {0x00010000, 0x0001000F}},
    {{0x000FFFF0, 0x0010000F}},
};

constexpr size_t largestWindow = 0x4000;

// Two runs, each with up to two regions, in buffers kept between inputs.
unsigned char memory[2][2][largestWindow];

Result convert(int runIndex, const char *text, size_t size, Mode mode,
    const std::vector<Window> &windows, size_t cut1, size_t cut2)
{
    std::vector<Region> regions;
    for (size_t i = 0; i < windows.size(); ++i) {
        unsigned char *m = memory[runIndex][i];
        std::memset(m, 0, size_t(windows[i].high - windows[i].low) + 1);
        regions.push_back({windows[i].low, windows[i].high, m});
    }
    kelto::hex::Reader reader(mode, std::move(regions));
    reader.feed(text, cut1);
    reader.feed(text + cut1, cut2 - cut1);
    reader.feed(text + cut2, size - cut2);
    return reader.finish();
}

bool same(const Result &x, const Result &y, const std::vector<Window> &windows)
{
    if (x.code != y.code || x.line != y.line || x.reason != y.reason || x.endRecord != y.endRecord
        || x.stored != y.stored || x.outsideBytes != y.outsideBytes
        || x.outside.size() != y.outside.size())
        return false;
    for (size_t i = 0; i < x.outside.size(); ++i) {
        if (x.outside[i].first != y.outside[i].first || x.outside[i].last != y.outside[i].last)
            return false;
    }
    for (size_t i = 0; i < windows.size(); ++i) {
        if (std::memcmp(memory[0][i], memory[1][i], size_t(windows[i].high - windows[i].low) + 1))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const Mode mode = (data[0] & 1) ? Mode::Strict : Mode::Window;
    const std::vector<Window> &windows = layouts[(data[0] >> 1) % layouts.size()];
    const char *text = reinterpret_cast<const char *>(data + 2);
    const size_t n = size - 2;
    const size_t cut1 = n * data[1] / 256;
    const size_t cut2 = cut1 + (n - cut1) / 2;

    const Result r = convert(0, text, n, mode, windows, n, n);
    const Result pieces = convert(1, text, n, mode, windows, cut1, cut2);
    if (!same(r, pieces, windows))
        std::abort();

    if (mode == Mode::Window && (r.code > 0 || r.code < kelto::hex::BadRecord))
        std::abort();
    if (r.ok() != r.reason.isEmpty() || r.ok() != (r.line == 0))
        std::abort();
    if (mode == Mode::Strict && r.ok() && !r.endRecord)
        std::abort();
    uint64_t regionBytes = 0;
    for (size_t i = 0; i < windows.size(); ++i) {
        regionBytes = uint64_t(windows[i].high - windows[i].low) + 1;
        if (mode == Mode::Strict && r.stored[i] > regionBytes)
            std::abort();
    }
    return 0;
}
