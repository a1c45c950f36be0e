#ifndef KELTO_USB_DISCOVERY_H
#define KELTO_USB_DISCOVERY_H

// Which converters the kernel has and where they are plugged in, as sysfs
// tells anybody without opening a node: bus and device number, serial and
// the port path (the kernel's stable name of the socket, e.g. "1-1.2",
// which a unit keeps across its restarts while its device number changes).

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace kelto {

// Root of the kernel's sysfs tree ("/sys"); tests point it elsewhere.
void setSysfsRoot(const QString &root);
QString sysfsRoot();

namespace discovery {

struct Entry
{
    int bus = 0;
    int address = 0; // device number on its bus
    QString port; // "B-P[.P...]", the name of its sysfs entry
    QByteArray serial; // empty when the kernel could not read it
};

// Every device with the identity in one walk of sysfs, by port path.
QList<Entry> sysfsDevices(uint16_t vendorId, uint16_t productId);
// The same under another root than the one set.
QList<Entry> sysfsDevicesUnder(const QString &root, uint16_t vendorId, uint16_t productId);
// The one at bus/address in `entries`; nothing when sysfs does not have it.
std::optional<Entry> atAddress(const QList<Entry> &entries, int bus, int address);
// The device with the identity plugged in at `port` now; nothing when the
// port is empty or holds no such device.
std::optional<Entry> findByPort(uint16_t vendorId, uint16_t productId, const QString &port);

// The serial without the bootloader's "b": the unit, whatever its mode.
QByteArray unitOf(const QByteArray &serial);
// Serials name one unit whatever their case and the unit's mode.
bool sameUnit(const QByteArray &a, const QByteArray &b);

} // namespace discovery
} // namespace kelto

#endif
