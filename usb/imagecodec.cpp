#include "imagecodec.h"

#include "imagetransform.h"

#include <QDebug>

#include <cstdint>

int encodeImage(unsigned char *buffer, uint32_t length)
{
    qDebug("Encoding started @ 0x%08x", unsigned(reinterpret_cast<uintptr_t>(buffer)));
    kelto::encodeWords(buffer, length);
    qDebug(
        "Encoding end @ 0x%08x", unsigned(reinterpret_cast<uintptr_t>(buffer + 4 * (length / 4))));
    return 0;
}

int decodeImage(unsigned char *buffer, uint32_t length)
{
    kelto::decodeWords(buffer, length);
    return 0;
}
