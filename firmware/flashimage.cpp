#include "flashimage.h"

#include "hextobin.h"

namespace kelto::flash {

uint32_t loadLe32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void storeLe32(unsigned char *p, uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

uint16_t loadLe16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t regionChecksum(const unsigned char *region, uint32_t size)
{
    uint32_t sum = 0;
    for (uint32_t at = 0; at + 4 < size; at += 4)
        sum += loadLe32(region + at);
    return sum;
}

uint32_t checksumA(const unsigned char *image)
{
    return regionChecksum(image + applicationOffset, applicationSize);
}

uint32_t checksumB(const unsigned char *image)
{
    return regionChecksum(image + externalOffset, externalSize);
}

void storeChecksums(unsigned char *image)
{
    storeLe32(image + checksumAOffset, checksumA(image));
    storeLe32(image + checksumBOffset, checksumB(image));
}

int convertWindow(const QString &hexFile, unsigned char *image, const Window &window)
{
    return HexToBin(hexFile, image + window.offset, window.low, window.high);
}

} // namespace kelto::flash
