#include "samplefirmware.h"

#include "hexwriter.h"

#include <cstdint>

namespace kelto::sample {

namespace {

// Deterministic filler so that the files are the same on every run.
QByteArray pseudoCode(uint32_t seed, int size)
{
    QByteArray bytes(size, '\0');
    uint32_t x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

QByteArray le32(uint32_t v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b += char((v >> (8 * i)) & 0xFF);
    return b;
}

// Vector table of a small Cortex-M style program: stack top, then handlers.
QByteArray vectors(uint32_t base, int count)
{
    QByteArray table = le32(0x20005000);
    for (int i = 1; i < count; ++i)
        table += le32(base + 0x200 + 8 * uint32_t(i) + 1);
    return table;
}

QByteArray padded(const QByteArray &text, int size)
{
    QByteArray b = text.left(size);
    b.append(size - b.size(), '\0');
    return b;
}

} // namespace

QByteArray applicationHex()
{
    hexgen::HexWriter hex(16, "\r\n");
    const uint32_t base = 0x08004000;
    hex.data(base, vectors(base, 48));
    hex.data(base + 0x200, pseudoCode(0x4B454C54, 0xA000));
    hex.data(base + 0xA200, padded("Kelto sample application 3.00", 32));
    // Trailer at the end of the application area: brand 0, build number,
    // and a placeholder that the upgrade file's checksum replaces.
    QByteArray trailer = padded(QByteArray("\x00\x00", 2) + le32(300), 44);
    trailer += le32(0xFFFFFFFF);
    hex.data(0x0803FFD0, trailer);

    // External flash section: a 256-step dimming curve and a text table.
    QByteArray curve;
    for (int i = 0; i < 256; ++i) {
        const uint32_t level = uint32_t(i) * uint32_t(i) * 0xFFFF / (255 * 255);
        curve += char(level & 0xFF);
        curve += char(level >> 8);
    }
    hex.data(0x08040000, curve);
    hex.data(0x08040200, padded("DTR;LEVEL;STATUS;SHORT;RANDOM", 64));
    hex.data(0x08041000, pseudoCode(0x45585446, 0x1000));
    hex.data(0x08053FFC, le32(0xFFFFFFFF));

    hex.startLinear(base + 0x200 + 9);
    hex.end();
    return hex.text();
}

QByteArray bootloaderHex()
{
    hexgen::HexWriter hex(16, "\r\n");
    const uint32_t base = 0x08000000;
    hex.data(base, vectors(base, 48));
    hex.data(base + 0x200, pseudoCode(0x424F4F54, 0x1800));
    QByteArray tail = padded(QByteArray("\x00\x00", 2), 16);
    tail += padded(bootloaderVersion, 16);
    // The serial area as an erased flash would hold it.
    tail += QByteArray(16, char(0xFF));
    hex.data(0x08003FD0, tail);
    hex.startLinear(base + 0x200 + 9);
    hex.end();
    return hex.text();
}

} // namespace kelto::sample
