#include "buspresence.h"

#include "delay.h"

#include <QDir>
#include <QFile>

#include <cerrno>

namespace kelto {

namespace {

// How long the kernel may take from a transfer failed by an unplug to the
// device's leaving sysfs, and how often to look meanwhile.
constexpr unsigned long unplugNoticeMs = 300;
constexpr unsigned long lookEveryMs = 10;

int attribute(const QString &dir, const char *name, int base, bool &ok)
{
    QFile f(dir + '/' + QLatin1String(name));
    ok = false;
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.read(32).trimmed().toInt(&ok, base);
}

UsbDevice::LinkError byCode(int result)
{
    if (result == -ETIMEDOUT)
        return UsbDevice::LinkError::Timeout;
    if (result == -ENODEV || result == -ESHUTDOWN || result == -ENXIO)
        return UsbDevice::LinkError::Gone;
    return UsbDevice::LinkError::Refused;
}

} // namespace

bool listedInSysfs(
    const QString &sysfsRoot, int bus, int address, uint16_t vendorId, uint16_t productId)
{
    const QDir dir(sysfsRoot + QStringLiteral("/bus/usb/devices"));
    for (const QString &entry : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString path = dir.filePath(entry);
        bool ok[4] = {};
        if (attribute(path, "busnum", 10, ok[0]) == bus
            && attribute(path, "devnum", 10, ok[1]) == address
            && attribute(path, "idVendor", 16, ok[2]) == vendorId
            && attribute(path, "idProduct", 16, ok[3]) == productId && ok[0] && ok[1] && ok[2]
            && ok[3])
            return true;
    }
    return false;
}

UsbDevice::LinkError judgeFailure(int result, const BusPlace &place, const QString &sysfsRoot,
    uint16_t vendorId, uint16_t productId)
{
    if (result >= 0)
        return UsbDevice::LinkError::None;
    if (!place.inSysfs)
        return byCode(result);
    auto listed
        = [&] { return listedInSysfs(sysfsRoot, place.bus, place.address, vendorId, productId); };
    if (!listed())
        return UsbDevice::LinkError::Gone;
    // A stall or an unanswered request is the device's own answer.
    if (result == -EPIPE || result == -ETIMEDOUT)
        return byCode(result);
    for (unsigned long waited = 0; waited < unplugNoticeMs; waited += lookEveryMs) {
        sleepMs(lookEveryMs);
        if (!listed())
            return UsbDevice::LinkError::Gone;
    }
    return UsbDevice::LinkError::Refused;
}

} // namespace kelto
