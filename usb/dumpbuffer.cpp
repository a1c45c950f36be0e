#include "dumpbuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace {

void appendRow(QByteArray &out, const unsigned char *row, uint32_t label, int count, bool wide)
{
    char item[24];
    std::snprintf(item, sizeof item, wide ? "\n0x%08x:" : "\n0x%04x:", unsigned(label));
    out += item;
    for (int i = 0; i < 16; ++i) {
        if (i < count) {
            std::snprintf(item, sizeof item, " %02x", unsigned(row[i]));
            out += item;
        } else {
            out += "   ";
        }
    }
    out += " < ";
    for (int i = 0; i < 16; ++i) {
        if (i < count)
            out += (row[i] >= 0x20 && row[i] <= 0x7F) ? char(row[i]) : '.';
        else
            out += ' ';
    }
    out += " >";
}

} // namespace

QByteArray dumpBuffer(const unsigned char *buffer, int length)
{
    QByteArray out;
    char header[48];
    std::snprintf(header, sizeof header, "\n src address: 0x%08x",
        unsigned(reinterpret_cast<uintptr_t>(buffer)));
    out += header;
    if (length <= 0)
        return out;
    out.reserve(out.size() + (length / 16 + 1) * 80);
    const int full = length / 16;
    for (int r = 0; r < full; ++r)
        appendRow(out, buffer + 16 * r, uint32_t(16 * r), 16, false);
    if (const int rest = length % 16)
        appendRow(out, buffer + 16 * full, uint32_t(16 * full), rest, false);
    return out;
}

QByteArray dumpMemory(const unsigned char *buffer, int length, uint32_t address)
{
    QByteArray out;
    char header[48];
    std::snprintf(header, sizeof header, "\n converter address: 0x%08x", unsigned(address));
    out += header;
    if (length <= 0)
        return out;
    out.reserve(out.size() + (length / 16 + 1) * 84);
    for (int at = 0; at < length; at += 16)
        appendRow(out, buffer + at, address + uint32_t(at), std::min(16, length - at), true);
    return out;
}
