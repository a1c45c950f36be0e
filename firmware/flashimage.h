#ifndef KELTO_FIRMWARE_FLASHIMAGE_H
#define KELTO_FIRMWARE_FLASHIMAGE_H

#include <QByteArray>

#include <cstdint>

// The flat image of an upgrade: one byte per device address from flashBase
// on, so image offset = device address - flashBase.
namespace kelto::flash {

constexpr uint32_t flashBase = 0x08000000;
constexpr uint32_t imageSize = 0x60000;

// Bootloader area; an upgrade never carries it.
constexpr uint32_t bootloaderOffset = 0x00000;
constexpr uint32_t bootloaderSize = 0x4000;
constexpr uint32_t bootloaderBrandOffset = 0x3FD0;
constexpr uint32_t bootloaderVersionOffset = 0x3FE0;
constexpr uint32_t bootloaderSerialOffset = 0x3FF0;

// Application area, written page by page into the internal flash.
constexpr uint32_t applicationOffset = 0x04000;
constexpr uint32_t applicationSize = 0x3C000;
constexpr uint32_t applicationBrandOffset = 0x3FFD0;
constexpr uint32_t checksumAOffset = applicationOffset + applicationSize - 4;

// External flash section, written to external flash address 0.
constexpr uint32_t externalOffset = 0x40000;
constexpr uint32_t externalSize = 0x14000;
constexpr uint32_t checksumBOffset = externalOffset + externalSize - 4;

// The only brand this tool builds images for.
constexpr uint16_t acceptedBrand = 0;

// Device address window [low, high] of an image region.
struct Window
{
    uint32_t offset;
    uint32_t low;
    uint32_t high;
};

constexpr Window applicationWindow {applicationOffset, flashBase + applicationOffset,
    flashBase + applicationOffset + applicationSize - 1};
constexpr Window externalWindow {
    externalOffset, flashBase + externalOffset, flashBase + externalOffset + externalSize - 1};
constexpr Window bootloaderWindow {bootloaderOffset, flashBase + bootloaderOffset,
    flashBase + bootloaderOffset + bootloaderSize - 1};

uint32_t loadLe32(const unsigned char *p);
void storeLe32(unsigned char *p, uint32_t value);
uint16_t loadLe16(const unsigned char *p);

// Sum modulo 2^32 of the little-endian words of a region except its last
// word, which is where the sum is kept.
uint32_t regionChecksum(const unsigned char *region, uint32_t size);

// Checksums of a plain (not encoded) image of imageSize bytes.
uint32_t checksumA(const unsigned char *image);
uint32_t checksumB(const unsigned char *image);

// Stores both checksums in the last words of their regions.
void storeChecksums(unsigned char *image);

// Runs HexToBin over one window of a whole image; returns its result.
int convertWindow(const QString &hexFile, unsigned char *image, const Window &window);

} // namespace kelto::flash

#endif
