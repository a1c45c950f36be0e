// The upgrade file reader, in memory: any bytes either are refused or give
// an image of exactly the flash image's size.
#include "flashimage.h"
#include "upgradefile.h"

#include <QBuffer>
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    const auto status = kelto::upgradefile::read(buffer, image);
    if (status == kelto::upgradefile::ReadStatus::Ok
        && image.size() != qsizetype(kelto::flash::imageSize))
        std::abort();
    if (status != kelto::upgradefile::ReadStatus::Ok && !image.isEmpty())
        std::abort();
    return 0;
}
