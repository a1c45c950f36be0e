#include "usbdevice.h"

#include "streamline.h"

#include <QDebug>

#include <usb.h>

#include <algorithm>
#include <cerrno>

std::mutex usbMutex;

namespace {

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
            matchSeen = true;

            errno = 0;
            handle = usb_open(dev);
            if (!handle) {
                permissionDenied |= isPermissionError(-errno);
                continue;
            }
            kelto::StreamLine() << "usb_opened";

            // libusb-0.1 falls back to a read-only open when the node is not
            // writable; configuring then fails with EPERM.
            if (const int r = usb_set_configuration(handle, configuration); r < 0) {
                permissionDenied |= isPermissionError(r);
                disconnectPrivate();
                continue;
            }
            kelto::StreamLine() << "usb_set_configuration";

            if (usb_claim_interface(handle, interfaceNumber) < 0) {
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
            return 0;
        }
    }
    reportConnectFailure(matchSeen, permissionDenied);
    return -1;
}

void UsbDevice::reportConnectFailure(bool matchSeen, bool permissionDenied) const
{
    // Our own diagnosis after the trace: the one question a technician has
    // is whether the converter is missing or present but not accessible.
    if (!matchSeen)
        qDebug("USB device %04x:%04x not found", unsigned(vendorId), unsigned(productId));
    else if (permissionDenied)
        qDebug("USB device %04x:%04x found but cannot be opened: permission denied "
               "(install the udev rule 70-kelto.rules, then plug the device in again)",
            unsigned(vendorId), unsigned(productId));
}

void UsbDevice::disconnectPrivate()
{
    qDebug("USB Disconnect");
    if (!handle)
        return;
    usb_release_interface(handle, interfaceNumber);
    usb_close(handle);
    handle = nullptr;
}

int UsbDevice::control_receivePrivate(
    uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length)
{
    if (!handle && connectPrivate() != 0)
        return -1;
    int result = -1;
    if (buffer && length > 0)
        result = usb_control_msg(handle, requestTypeIn, bRequest, wValue, wIndex,
            reinterpret_cast<char *>(buffer), length, timeoutMs);
    transferLine("Receive", bRequest, wValue, wIndex, length, result);
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
    qDebug("UsbDevice::control_send()");
    if (!handle && connectPrivate() != 0)
        return -1;
    const bool withData = buffer && length > 0;
    const int result = usb_control_msg(handle, requestTypeOut, bRequest, wValue, wIndex,
        withData ? reinterpret_cast<char *>(buffer) : nullptr, withData ? length : 0, timeoutMs);
    transferLine("Send", bRequest, wValue, wIndex, length, result);
    if (result < 0) {
        disconnectPrivate();
        return -1;
    }
    return withData ? std::min(result, length) : result;
}

QByteArray UsbDevice::serialNumber()
{
    Lock lock(usbMutex);
    QByteArray serial;
    if (!handle)
        return serial;
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
