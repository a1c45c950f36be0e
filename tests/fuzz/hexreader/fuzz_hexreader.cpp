// The HEX reader in both modes, in memory. The first byte picks the mode and
// the regions, the second where the text is cut into three pieces: fed in
// pieces, the reader must end exactly as when fed the text whole, and it
// must never store outside its regions (each buffer is exactly as large).
// A mutator that knows the record layout keeps most checksums right, so that
// the search gets past the checksum test to lengths, types and addresses.
#include "hexreader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

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

// One line of the text: a record decoded to its bytes (count, address,
// type, data, checksum) when it is one, else the raw text; and its end.
struct Line
{
    bool record = false;
    std::vector<uint8_t> bytes;
    std::string raw;
    std::string end;
};

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::vector<Line> split(const uint8_t *text, size_t size)
{
    std::vector<Line> lines;
    size_t at = 0;
    while (at < size) {
        Line l;
        size_t stop = at;
        while (stop < size && text[stop] != '\n' && text[stop] != '\r')
            ++stop;
        l.raw.assign(reinterpret_cast<const char *>(text + at), stop - at);
        if (stop < size) {
            const bool crlf = text[stop] == '\r' && stop + 1 < size && text[stop + 1] == '\n';
            l.end.assign(reinterpret_cast<const char *>(text + stop), crlf ? 2 : 1);
            stop += l.end.size();
        }
        at = stop;
        if (l.raw.size() >= 3 && l.raw[0] == ':' && l.raw.size() % 2 == 1) {
            l.record = true;
            for (size_t i = 1; i < l.raw.size() && l.record; i += 2) {
                const int hi = digit(l.raw[i]);
                const int lo = digit(l.raw[i + 1]);
                l.record = hi >= 0 && lo >= 0;
                if (l.record)
                    l.bytes.push_back(uint8_t(hi << 4 | lo));
            }
            if (!l.record)
                l.bytes.clear();
        }
        lines.push_back(std::move(l));
    }
    return lines;
}

void fixChecksum(std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return;
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    bytes.back() = uint8_t(0x100 - (sum & 0xFF));
}

std::vector<uint8_t> newRecord(std::minstd_rand &rnd)
{
    static const uint8_t types[] = {0, 0, 0, 1, 2, 3, 4, 4, 5, 6};
    const uint8_t type = types[rnd() % sizeof types];
    size_t n = type == 1 ? 0 : type == 2 || type == 4 ? 2 : type == 3 || type == 5 ? 4 : rnd() % 33;
    std::vector<uint8_t> b = {uint8_t(n), uint8_t(rnd()), uint8_t(rnd()), type};
    if (type != 0)
        b[1] = b[2] = 0;
    for (size_t i = 0; i < n; ++i)
        b.push_back(uint8_t(rnd()));
    b.push_back(0);
    return b;
}

// Data lengths worth trying: the legal ones, the largest legal one and
// lengths no byte count can express.
size_t someLength(std::minstd_rand &rnd)
{
    switch (rnd() % 6) {
    case 0:
        return rnd() % 4;
    case 1:
        return 255;
    case 2:
        return 256 + rnd() % 48;
    default:
        return rnd() % 256;
    }
}

size_t mutateText(uint8_t *data, size_t size, size_t maxSize, unsigned seed)
{
    std::minstd_rand rnd(seed);
    std::vector<Line> lines = split(data + 2, size - 2);
    const size_t which = lines.empty() ? 0 : rnd() % lines.size();
    const unsigned op = rnd() % 10;
    if (lines.empty() || op == 0) {
        Line l;
        l.record = true;
        l.bytes = newRecord(rnd);
        l.end = "\r\n";
        lines.insert(lines.begin() + long(lines.empty() ? 0 : which), std::move(l));
    } else if (op == 1) {
        lines.insert(lines.begin() + long(rnd() % lines.size()), lines[which]);
    } else if (op == 2 && lines.size() > 1) {
        lines.erase(lines.begin() + long(which));
    } else if (op == 3) {
        static const char *ends[] = {"\r\n", "\n", "\r", "\n\r", ""};
        lines[which].end = ends[rnd() % 5];
    } else if (lines[which].record && lines[which].bytes.size() >= 5) {
        std::vector<uint8_t> &b = lines[which].bytes;
        std::vector<uint8_t> payload(b.begin() + 4, b.end() - 1);
        if (op == 4) {
            // A new length: the count follows it, except now and then.
            payload.resize(someLength(rnd), uint8_t(rnd()));
            b[0] = rnd() % 8 ? uint8_t(payload.size()) : uint8_t(rnd());
        } else if (op == 5) {
            b[3] = uint8_t(rnd() % 8 ? rnd() % 7 : rnd());
        } else if (op == 6) {
            b[1] = uint8_t(rnd() % 4 ? 0 : rnd());
            b[2] = uint8_t(rnd() % 2 ? b[2] + 1 : rnd());
        } else {
            if (payload.empty())
                payload.push_back(uint8_t(rnd()));
            const size_t n = payload.size();
            payload.resize(n * 2);
            payload.resize(LLVMFuzzerMutate(payload.data(), n, payload.size()));
            b[0] = uint8_t(payload.size());
        }
        std::vector<uint8_t> rebuilt(b.begin(), b.begin() + 4);
        rebuilt.insert(rebuilt.end(), payload.begin(), payload.end());
        rebuilt.push_back(b.back());
        b = std::move(rebuilt);
        if (rnd() % 16)
            fixChecksum(b);
    } else {
        return LLVMFuzzerMutate(data, size, maxSize);
    }

    static const char hex[] = "0123456789ABCDEF";
    std::string out(reinterpret_cast<const char *>(data), 2);
    for (const Line &l : lines) {
        if (l.record) {
            out += ':';
            for (uint8_t v : l.bytes) {
                out += hex[v >> 4];
                out += hex[v & 15];
            }
        } else {
            out += l.raw;
        }
        out += l.end;
    }
    if (out.size() > maxSize)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}

} // namespace

// Mostly record-aware changes; now and then libFuzzer's own byte-level ones,
// so that broken syntax is still explored.
extern "C" size_t LLVMFuzzerCustomMutator(
    uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    if (size < 2 || maxSize < 16 || seed % 4 == 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 16 == 1)
        data[0] = uint8_t(seed >> 8);
    return mutateText(data, size, maxSize, seed);
}

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
