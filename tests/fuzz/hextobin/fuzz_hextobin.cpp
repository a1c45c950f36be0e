// Feeds arbitrary bytes to the HEX converter (as a file, the only way it
// reads) and to the upgrade file reader. The first byte picks the target and,
// for the converter, the window, so that windows that cut records and the
// 32-bit address sum are exercised too.
#include "hextobin.h"
#include "upgradefile.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

QString scratchFile()
{
    static const QString path = [] {
        char name[] = "/tmp/fuzz_hextobin_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0)
            std::abort();
        close(fd);
        static char removeAtExit[sizeof name];
        std::memcpy(removeAtExit, name, sizeof name);
        std::atexit([] { unlink(removeAtExit); });
        return QString::fromLocal8Bit(name);
    }();
    return path;
}

void convert(const uint8_t *data, size_t size, uint8_t selector)
{
    {
        QFile f(scratchFile());
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    struct Window
    {
        uint32_t low;
        uint32_t high;
    };
    static const Window windows[] = {
        {0x00000000, 0x000000FF},
        {0x08004000, 0x0803FFFF},
        {0x08040000, 0x08053FFF},
        {0x08000000, 0x08003FFF},
        {0xFFFFFF00, 0xFFFFFFFF},
        {0x00001000, 0x00001000},
    };
    const Window &w = windows[selector % (sizeof windows / sizeof windows[0])];
    // Exactly as large as the window, so that a stray store is caught.
    std::vector<unsigned char> dest(size_t(w.high - w.low) + 1, 0);
    const int r = HexToBin(scratchFile(), dest.data(), w.low, w.high);
    if (r > 0 || r < -7)
        std::abort();
}

void readUpgrade(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QByteArray image;
    const auto status = kelto::upgradefile::read(buffer, image);
    if (status == kelto::upgradefile::ReadStatus::Ok && image.size() != 0x60000)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t selector = data[0];
    if (selector & 0x80)
        readUpgrade(data + 1, size - 1);
    else
        convert(data + 1, size - 1, selector);
    return 0;
}
