#include "discovery.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <mutex>

namespace kelto {

namespace {

std::mutex sysfsMutex;
QString sysfsRootPath = QStringLiteral("/sys"); // guarded by sysfsMutex

QByteArray readAttribute(const QString &dir, const char *name)
{
    QFile f(dir + '/' + QLatin1String(name));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(256).trimmed();
}

} // namespace

void setSysfsRoot(const QString &root)
{
    std::lock_guard<std::mutex> lock(sysfsMutex);
    sysfsRootPath = root;
}

QString sysfsRoot()
{
    std::lock_guard<std::mutex> lock(sysfsMutex);
    return sysfsRootPath;
}

namespace discovery {

QList<Entry> sysfsDevices(uint16_t vendorId, uint16_t productId)
{
    return sysfsDevicesUnder(sysfsRoot(), vendorId, productId);
}

QList<Entry> sysfsDevicesUnder(const QString &root, uint16_t vendorId, uint16_t productId)
{
    // Devices only: root hubs are "usbN", interfaces "B-P:C.I".
    static const QRegularExpression portName("^[0-9]+-[0-9]+(\\.[0-9]+)*$");
    QList<Entry> found;
    const QDir dir(root + QStringLiteral("/bus/usb/devices"));
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!portName.match(name).hasMatch())
            continue;
        const QString path = dir.filePath(name);
        bool vendorOk = false;
        bool productOk = false;
        const uint vendor = readAttribute(path, "idVendor").toUInt(&vendorOk, 16);
        const uint product = readAttribute(path, "idProduct").toUInt(&productOk, 16);
        if (!vendorOk || !productOk || vendor != vendorId || product != productId)
            continue;
        Entry e;
        e.bus = readAttribute(path, "busnum").toInt();
        e.address = readAttribute(path, "devnum").toInt();
        e.serial = readAttribute(path, "serial");
        e.port = name;
        found << e;
    }
    return found;
}

std::optional<Entry> atAddress(const QList<Entry> &entries, int bus, int address)
{
    for (const Entry &e : entries) {
        if (e.bus == bus && e.address == address)
            return e;
    }
    return std::nullopt;
}

std::optional<Entry> findByPort(uint16_t vendorId, uint16_t productId, const QString &port)
{
    if (port.isEmpty())
        return std::nullopt;
    for (const Entry &e : sysfsDevices(vendorId, productId)) {
        if (e.port == port)
            return e;
    }
    return std::nullopt;
}

QByteArray unitOf(const QByteArray &serial)
{
    return serial.size() == 10 && serial.endsWith('b') ? serial.left(9) : serial;
}

bool sameUnit(const QByteArray &a, const QByteArray &b)
{
    return unitOf(a).compare(unitOf(b), Qt::CaseInsensitive) == 0;
}

} // namespace discovery
} // namespace kelto
