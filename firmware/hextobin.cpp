#include "hextobin.h"

#include "hexreader.h"

int HexToBin(
    const QString &fileName, unsigned char *destination, uint32_t lowAddress, uint32_t highAddress)
{
    return kelto::hex::readFile(
        fileName, kelto::hex::Mode::Window, {{lowAddress, highAddress, destination}})
        .code;
}
