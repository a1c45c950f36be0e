#ifndef KELTO_TOOLS_SAMPLEFIRMWARE_H
#define KELTO_TOOLS_SAMPLEFIRMWARE_H

#include <QByteArray>

// A synthetic firmware build for tests and demos; the bytes are made up
// here and mean nothing to a real device.
namespace kelto::sample {

// Application at 0x08004000 with brand 0 at 0x0803FFD0 and a placeholder
// where the checksum goes, plus an external flash section at 0x08040000;
// 16-byte records, CR LF, type 04 and 05 records.
QByteArray applicationHex();
// Bootloader at 0x08000000 with brand 0 at 0x08003FD0 and a NUL-terminated
// version text at 0x08003FE0.
QByteArray bootloaderHex();

// Text stored at 0x08003FE0 by bootloaderHex().
constexpr char bootloaderVersion[] = "KB 1.07 sample";

} // namespace kelto::sample

#endif
