// Whole-process HEX to binary converter on HexToBin: the window from the
// lowest to the highest address given, zero where the file has no data.
//
//   kelto-hex2bin <in.hex> <out.bin> <low> <high>
#include "hextobin.h"

#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <in.hex> <out.bin> <low> <high>\n", argv[0]);
        return 2;
    }
    const uint32_t low = uint32_t(std::strtoul(argv[3], nullptr, 0));
    const uint32_t high = uint32_t(std::strtoul(argv[4], nullptr, 0));
    if (high < low) {
        std::fprintf(stderr, "empty window\n");
        return 2;
    }
    std::vector<unsigned char> image(size_t(high - low) + 1, 0);
    const int result = HexToBin(QString::fromLocal8Bit(argv[1]), image.data(), low, high);
    if (result != 0) {
        std::fprintf(stderr, "HexToBin error: %d\n", result);
        return 1;
    }
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || out.write(reinterpret_cast<const char *>(image.data()), qint64(image.size()))
            != qint64(image.size())) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
