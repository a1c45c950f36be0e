#ifndef KELTO_BENCH_BENCHUPGRADEFILE_H
#define KELTO_BENCH_BENCHUPGRADEFILE_H

#include "flashimage.h"
#include "upgradefile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

// An upgrade file with pseudo-random application and external sections
// (xorshift from `seed`), brand 0 and correct checksums, written to `path`.
// `changedPage` >= 0: that application page differs from the seed's.
// Returns the path, or an empty string when it cannot be written.
inline QString writeBenchUpgradeFile(const QString &path, uint32_t seed, int changedPage = -1)
{
    QByteArray image(int(kelto::flash::imageSize), '\0');
    uint32_t x = seed;
    for (uint32_t i = kelto::flash::applicationOffset;
         i < kelto::flash::externalOffset + kelto::flash::externalSize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[int(i)] = char(x);
    }
    if (changedPage >= 0)
        image[int(kelto::flash::applicationOffset) + changedPage * 0x800 + 5] ^= char(0x5A);
    image[int(kelto::flash::applicationBrandOffset)] = 0;
    image[int(kelto::flash::applicationBrandOffset) + 1] = 0;
    kelto::flash::storeChecksums(reinterpret_cast<unsigned char *>(image.data()));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || kelto::upgradefile::write(f, image) != 0)
        return {};
    return path;
}

#endif
