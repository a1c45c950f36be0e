#include "usbdevice.h"

#include "buspresence.h"
#include "streamline.h"

#include <QDebug>

#include <usb.h>

#include <algorithm>
#include <cerrno>

std::mutex usbMutex;

namespace {

using kelto::discovery::unitOf;

// Written only by the thread it belongs to.
thread_local UsbDevice::LinkError threadLinkError = UsbDevice::LinkError::None;

constexpr int requestTypeIn = 0xC0;
constexpr int requestTypeOut = 0x40;
constexpr int timeoutMs = 2000;
constexpr int configuration = 1;
constexpr int interfaceNumber = 0;
constexpr uint8_t zvidRequest = 255;
constexpr uint8_t brandRequest = 254;
constexpr int descriptorBufferSize = 256;

using Lock = std::lock_guard<std::mutex>;

// The identity values are logged as signed 16-bit numbers widened to 32
// bits, so 0xFFFF shows as ffffffff in the trace.
unsigned widened(uint16_t value)
{
    return unsigned(int(int16_t(value)));
}

void transferLine(
    const char *kind, uint8_t bRequest, uint16_t wValue, uint16_t wIndex, int length, int result)
{
    const char *verdict = result >= 0 ? "OK" : "ERROR";
    if (length != 0)
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d, dataLength=%d - %s.", kind,
            int(bRequest), int(wValue), int(wIndex), length, verdict);
    else
        qDebug("USB Control %s bRequest=%d, wValue=%d, wIndex=%d - %s.", kind, int(bRequest),
            int(wValue), int(wIndex), verdict);
}

QByteArray readSerialDescriptor(usb_dev_handle *handle)
{
    QByteArray serial;
    unsigned char descriptor[descriptorBufferSize] = {};
    const int got = usb_get_descriptor(handle, USB_DT_STRING, 3, descriptor, sizeof descriptor);
    // The body runs from byte 2 in 16-bit code units; only whole units that
    // were actually received count, whatever the length field claims.
    const int end = std::clamp(got, 0, descriptorBufferSize);
    for (int i = 2; i + 1 < end; i += 2) {
        if (descriptor[i] == 0 && descriptor[i + 1] == 0)
            break;
        serial += char(descriptor[i]);
    }
    return serial;
}

} // namespace

UsbDevice::UsbDevice() = default;

UsbDevice::~UsbDevice()
{
    qDebug("UsbDevice destructor");
    Lock lock(usbMutex);
    if (handle)
        disconnectPrivate();
}

int UsbDevice::connect()
{
    Lock lock(usbMutex);
    return connectPrivate();
}

void UsbDevice::disconnect()
{
    Lock lock(usbMutex);
    disconnectPrivate();
}

int UsbDevice::control_receive(
    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length)
{
    Lock lock(usbMutex);
    return control_receivePrivate(bRequest, wValue, wIndex, buffer, length);
}

namespace {

bool isPermissionError(int negativeErrno)
{
    return negativeErrno == -EPERM || negativeErrno == -EACCES;
}

// Configuring fails with EBUSY too when another program has claimed the
// interface.
bool isBusyError(int negativeErrno)
{
    return negativeErrno == -EBUSY;
}

} // namespace

int UsbDevice::connectPrivate()
{
    qDebug("USB Connect");
    if (handle) {
        usb_close(handle);
        handle = nullptr;
    }
    usb_init();
    usb_find_busses();
    usb_find_devices();
    // What the search met, for the diagnosis written when it fails.
    bool matchSeen = false;
    bool permissionDenied = false;
    bool busy = false;
    // The kernel's view, read once: serials without opening a node, ports.
    const QList<kelto::discovery::Entry> inSysfs
        = kelto::discovery::sysfsDevices(vendorId, productId);
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        kelto::StreamLine() << "bus: " << static_cast<const void *>(bus);
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            kelto::StreamLine() << "bus->devices: " << static_cast<const void *>(bus->devices);
            kelto::StreamLine() << "dev->descriptor.idVendor: "
                                << kelto::hex(dev->descriptor.idVendor);
            kelto::StreamLine() << "dev->descriptor.idProduct: "
                                << kelto::hex(dev->descriptor.idProduct);
            kelto::StreamLine() << "dev->descriptor.iSerialNumber: "
                                << kelto::hex(dev->descriptor.iSerialNumber);
            kelto::StreamLine() << "dev->descriptor.bMaxPacketSize0: "
                                << kelto::hex(dev->descriptor.bMaxPacketSize0);
            if (dev->descriptor.idVendor != vendorId || dev->descriptor.idProduct != productId)
                continue;
            // Another unit is not even opened when the kernel tells its
            // serial; where it does not, it is only looked at, never
            // configured or claimed (the serial is a standard request that
            // needs neither).
            const auto entry = kelto::discovery::atAddress(
                inSysfs, QByteArray(bus->dirname).toInt(), QByteArray(dev->filename).toInt());
            // A unit tied to a port is only ever looked for there; one whose
            // port sysfs does not tell cannot be shown to be it.
            if (!wantedPort.isEmpty() && (!entry || entry->port != wantedPort)) {
                kelto::StreamLine()
                    << "port" << (entry ? entry->port : QString("?")) << "is not" << wantedPort;
                continue;
            }
            QByteArray serial;
            if (!wantedSerial.isEmpty()) {
                serial = entry ? entry->serial : QByteArray();
                if (!serial.isEmpty() && !kelto::discovery::sameUnit(serial, wantedSerial)) {
                    kelto::StreamLine() << "serial" << serial << "is not" << wantedSerial;
                    continue;
                }
            }
            if (wantedSerial.isEmpty() || !serial.isEmpty())
                matchSeen = true;

            errno = 0;
            handle = usb_open(dev);
            if (!handle) {
                permissionDenied |= isPermissionError(-errno);
                continue;
            }
            kelto::StreamLine() << "usb_opened";
            openBus = QByteArray(bus->dirname).toInt();
            openAddress = QByteArray(dev->filename).toInt();
            openInSysfs = entry.has_value();

            if (!wantedSerial.isEmpty() && serial.isEmpty()) {
                serial = readSerialDescriptor(handle);
                if (!kelto::discovery::sameUnit(serial, wantedSerial)) {
                    kelto::StreamLine() << "serial" << serial << "is not" << wantedSerial;
                    usb_close(handle);
                    handle = nullptr;
                    continue;
                }
                matchSeen = true;
            }

            // libusb-0.1 falls back to a read-only open when the node is not
            // writable; configuring then fails with EPERM.
            if (const int r = usb_set_configuration(handle, configuration); r < 0) {
                permissionDenied |= isPermissionError(r);
                busy |= isBusyError(r);
                disconnectPrivate();
                continue;
            }
            kelto::StreamLine() << "usb_set_configuration";

            if (const int r = usb_claim_interface(handle, interfaceNumber); r < 0) {
                busy |= isBusyError(r);
                disconnectPrivate();
                continue;
            }
            kelto::StreamLine() << "usb_claim_interface";

            unsigned char id[2] = {0, 0};
            int got = control_receivePrivate(zvidRequest, 0, 0, id, 2);
            // Only bytes that came, and never more than the two of the reply.
            QByteArray shown;
            for (int i = 0; i < std::min(got, 2) && id[i]; ++i)
                shown += char(id[i]);
            kelto::StreamLine() << "control_receivePrivate(" << int(zvidRequest) << 0 << 0 << shown
                                << 2 << ")";
            if (got != 2) {
                if (handle)
                    disconnectPrivate();
                continue;
            }
            const uint16_t zvid = uint16_t(id[0] | id[1] << 8);
            qDebug("\nzvid: %x", widened(zvid));
            qDebug("\nUSB_SOPRA_ID: %x", widened(expectedZvid));
            if (zvid != expectedZvid) {
                disconnectPrivate();
                continue;
            }

            id[0] = id[1] = 0;
            got = control_receivePrivate(brandRequest, 0, 0, id, 2);
            if (got != 2) {
                if (handle)
                    disconnectPrivate();
                continue;
            }
            const uint16_t brand = uint16_t(id[0] | id[1] << 8);
            qDebug("\nbrandid: %x", widened(brand));
            qDebug("\nAPP_BRAND_ID: %x", widened(expectedBrandId));
            if (brand != expectedBrandId) {
                disconnectPrivate();
                continue;
            }
            connectFailure = ConnectFailure::None;
            openPort = entry ? entry->port : QString();
            return 0;
        }
    }
    reportConnectFailure(matchSeen, permissionDenied, busy);
    return -1;
}

void UsbDevice::reportConnectFailure(bool matchSeen, bool permissionDenied, bool busy)
{
    // Our own diagnosis after the trace: the one question a technician has
    // is whether the converter is missing, present but not accessible, or
    // in use by another program.
    const unsigned vid = vendorId;
    const unsigned pid = productId;
    QByteArray which = wantedSerial.isEmpty() ? QByteArray() : " serial " + wantedSerial;
    if (!wantedPort.isEmpty())
        which += " at port " + wantedPort.toLatin1();
    // A node we may not open counts first: it may well be the unit asked for.
    if (permissionDenied) {
        connectFailure = ConnectFailure::NotAccessible;
        qDebug("USB device %04x:%04x%s found but cannot be opened: permission denied "
               "(install the udev rule 70-kelto.rules, then plug the device in again)",
            vid, pid, which.constData());
    } else if (!matchSeen) {
        // libusb-0.1 does not list a node it cannot open at all; the
        // kernel's own list tells whether the device is there.
        bool seen = false;
        for (const kelto::discovery::Entry &e : kelto::discovery::sysfsDevices(vendorId, productId))
            seen |= (wantedSerial.isEmpty() || kelto::discovery::sameUnit(e.serial, wantedSerial))
                && (wantedPort.isEmpty() || e.port == wantedPort);
        if (seen) {
            connectFailure = ConnectFailure::NotAccessible;
            qDebug("USB device %04x:%04x%s present but not accessible: permission denied "
                   "(install the udev rule 70-kelto.rules, then plug the device in again)",
                vid, pid, which.constData());
        } else {
            connectFailure = ConnectFailure::NotFound;
            qDebug("USB device %04x:%04x%s not found", vid, pid, which.constData());
        }
    } else if (busy) {
        connectFailure = ConnectFailure::InUse;
        qDebug("USB device %04x:%04x%s found but in use by another program "
               "(its interface is claimed)",
            vid, pid, which.constData());
    } else {
        connectFailure = ConnectFailure::NotIdentified;
    }
}

void UsbDevice::disconnectPrivate()
{
    qDebug("USB Disconnect");
    if (!handle)
        return;
    usb_release_interface(handle, interfaceNumber);
    usb_close(handle);
    handle = nullptr;
    openPort.clear();
}

int UsbDevice::control_receivePrivate(
    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length)
{
    // A device that cannot be connected again has gone as far as the
    // caller is concerned.
    threadLinkError = LinkError::Gone;
    if (!handle && connectPrivate() != 0)
        return -1;
    int result = -1;
    if (buffer && length > 0)
        result = usb_control_msg(handle, requestTypeIn, bRequest, wValue, wIndex,
            reinterpret_cast<char *>(buffer), length, timeoutMs);
    transferLine("Receive", bRequest, wValue, wIndex, length, result);
    threadLinkError = kelto::judgeFailure(
        result, {openBus, openAddress, openInSysfs}, kelto::sysfsRoot(), vendorId, productId);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    // A reply can never be longer than the buffer it was received into.
    return std::min(result, length);
}

int UsbDevice::control_send(
    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length)
{
    Lock lock(usbMutex);
    return control_sendPrivate(bRequest, wValue, wIndex, buffer, length);
}

int UsbDevice::control_sendPrivate(
    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length)
{
    qDebug("UsbDevice::control_send()");
    threadLinkError = LinkError::Gone;
    if (!handle && connectPrivate() != 0)
        return -1;
    const bool withData = buffer && length > 0;
    const int result = usb_control_msg(handle, requestTypeOut, bRequest, wValue, wIndex,
        withData ? reinterpret_cast<char *>(buffer) : nullptr, withData ? length : 0, timeoutMs);
    transferLine("Send", bRequest, wValue, wIndex, length, result);
    threadLinkError = kelto::judgeFailure(
        result, {openBus, openAddress, openInSysfs}, kelto::sysfsRoot(), vendorId, productId);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return withData ? std::min(result, length) : result;
}

QByteArray UsbDevice::serialNumber()
{
    Lock lock(usbMutex);
    if (!handle)
        return QByteArray();
    return readSerialDescriptor(handle);
}

bool UsbDevice::isBootloaderSerial(const QByteArray &usbSerial)
{
    return unitOf(usbSerial) != usbSerial;
}

void UsbDevice::setSerial(const QByteArray &serial)
{
    Lock lock(usbMutex);
    wantedSerial = unitOf(serial);
    if (wantedSerial.isEmpty())
        wantedPort.clear();
    else if (handle && !openPort.isEmpty())
        wantedPort = openPort;
}

void UsbDevice::setPort(const QString &port)
{
    Lock lock(usbMutex);
    wantedPort = port;
}

QString UsbDevice::port()
{
    Lock lock(usbMutex);
    return wantedPort;
}

QByteArray UsbDevice::serial()
{
    Lock lock(usbMutex);
    return wantedSerial;
}

UsbDevice::ConnectFailure UsbDevice::lastConnectFailure()
{
    Lock lock(usbMutex);
    return connectFailure;
}

UsbDevice::LinkError UsbDevice::lastLinkError()
{
    return threadLinkError;
}

QString UsbDevice::describe(ConnectFailure failure)
{
    switch (failure) {
    case ConnectFailure::None:
        return QString();
    case ConnectFailure::NotFound:
        return QStringLiteral("no converter found (USB 16c0:078b); check the USB cable");
    case ConnectFailure::NotAccessible:
        return QStringLiteral(
            "the converter (USB 16c0:078b) is present but not accessible: permission denied; "
            "install the udev rule 70-kelto.rules, then plug the converter in again");
    case ConnectFailure::InUse:
        return QStringLiteral("the converter (USB 16c0:078b) is in use by another program");
    case ConnectFailure::NotIdentified:
        return QStringLiteral("no converter found (USB 16c0:078b): a device there did not "
                              "identify itself as one; check the USB cable");
    }
    return QString();
}

QList<UsbDevice::Presence> UsbDevice::survey(bool openNodes)
{
    Lock lock(usbMutex);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    const QList<kelto::discovery::Entry> inSysfs
        = kelto::discovery::sysfsDevices(vendorId, productId);
    QList<Presence> found;
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            if (dev->descriptor.idVendor != vendorId || dev->descriptor.idProduct != productId)
                continue;
            Presence p;
            p.bus = QByteArray(bus->dirname).toInt();
            p.address = QByteArray(dev->filename).toInt();
            if (const auto e = kelto::discovery::atAddress(inSysfs, p.bus, p.address)) {
                p.serial = e->serial;
                p.port = e->port;
            }
            if (!openNodes) {
                found << p;
                continue;
            }
            errno = 0;
            if (usb_dev_handle *h = usb_open(dev)) {
                if (p.serial.isEmpty())
                    p.serial = readSerialDescriptor(h);
                usb_close(h);
            } else {
                p.access = ConnectFailure::NotAccessible;
            }
            found << p;
        }
    }
    // What the library could not list at all.
    for (const kelto::discovery::Entry &e : inSysfs) {
        const bool listed = std::any_of(found.cbegin(), found.cend(),
            [&e](const Presence &q) { return q.bus == e.bus && q.address == e.address; });
        if (!listed) {
            Presence p;
            p.bus = e.bus;
            p.address = e.address;
            p.port = e.port;
            p.serial = e.serial;
            p.access = ConnectFailure::NotAccessible;
            found << p;
        }
    }
    std::sort(found.begin(), found.end(), [](const Presence &a, const Presence &b) {
        return std::make_pair(a.bus, a.address) < std::make_pair(b.bus, b.address);
    });
    return found;
}
