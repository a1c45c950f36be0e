#ifndef KELTO_FIRMWARE_HEXTOBIN_H
#define KELTO_FIRMWARE_HEXTOBIN_H

#include <QString>

#include <cstdint>

// Stores every data byte of an Intel HEX file whose address lies in
// [lowAddress, highAddress] at destination[address - lowAddress].
// 0 on success, -1 to -7 for the first malformed field.
int HexToBin(
    const QString &fileName, unsigned char *destination, uint32_t lowAddress, uint32_t highAddress);

#endif
