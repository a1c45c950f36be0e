#include "hextobin.h"

#include <QFile>

namespace {

// One read takes at most this many bytes, terminator included: a record of
// 25 data bytes plus CR LF is the longest that fits.
constexpr qint64 lineLimit = 63;
// Shorter lines cannot hold the start mark and the three header fields.
constexpr qint64 shortestLine = 11;

enum : int {
    shortLine = -1,
    noStartMark = -2,
    badCount = -3,
    badOffset = -4,
    badType = -5,
    badData = -6,
    badRecord = -7,
};

// Value of a hexadecimal digit, or -1. A table keeps the per-byte cost of
// large builds low.
struct DigitTable
{
    signed char value[256];
    constexpr DigitTable()
        : value()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = -1;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = static_cast<signed char>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<signed char>(10 + i);
            value['A' + i] = static_cast<signed char>(10 + i);
        }
    }
};
constexpr DigitTable digits;

// Parses `count` hexadecimal digits at line[at]; characters at or beyond
// `length` do not belong to the line and never parse.
bool parseHex(const char *line, qint64 length, qint64 at, int count, uint32_t &out)
{
    if (at + count > length)
        return false;
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
        const int d = digits.value[static_cast<unsigned char>(line[at + i])];
        if (d < 0)
            return false;
        v = v << 4 | uint32_t(d);
    }
    out = v;
    return true;
}

} // namespace

int HexToBin(
    const QString &fileName, unsigned char *destination, uint32_t lowAddress, uint32_t highAddress)
{
    QFile file(fileName);
    // An unreadable file converts like an empty one.
    if (!file.open(QIODevice::ReadOnly))
        return 0;

    uint32_t upper = 0;
    char line[lineLimit + 1];
    for (;;) {
        const qint64 length = file.readLine(line, sizeof line);
        if (length <= 0)
            return 0;
        if (length <= shortestLine - 1)
            return shortLine;
        // A read that filled the buffer without reaching a line feed cut the
        // line: the rest would otherwise be taken for the next record.
        if (length == lineLimit && line[lineLimit - 1] != '\n' && !file.atEnd())
            return shortLine;
        if (line[0] != ':')
            return noStartMark;

        uint32_t count = 0;
        uint32_t offset = 0;
        uint32_t type = 0;
        if (!parseHex(line, length, 1, 2, count))
            return badCount;
        if (!parseHex(line, length, 3, 4, offset))
            return badOffset;
        if (!parseHex(line, length, 7, 2, type))
            return badType;

        switch (type) {
        case 0x00:
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t byte = 0;
                if (!parseHex(line, length, 9 + 2 * qint64(i), 2, byte))
                    return badData;
                // Plain 32-bit sum: a record near the end of a 64 KiB segment
                // runs on into the next one.
                const uint32_t address = upper + offset + i;
                if (address >= lowAddress && address <= highAddress)
                    destination[address - lowAddress] = static_cast<unsigned char>(byte);
            }
            break;
        case 0x01:
            return 0;
        case 0x04: {
            uint32_t value = 0;
            if (!parseHex(line, length, 9, 4, value))
                return badRecord;
            upper = value << 16;
            break;
        }
        case 0x05:
            break;
        default:
            return badRecord;
        }
    }
}
