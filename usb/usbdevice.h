#ifndef KELTO_USB_USBDEVICE_H
#define KELTO_USB_USBDEVICE_H

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <mutex>

struct usb_dev_handle;

// One lock for every libusb call of the process and for UsbDevice::handle.
// Non-recursive on purpose: the connect procedure uses only the *Private
// operations, which expect the caller to hold it. A std::mutex rather than a
// QMutex so that ThreadSanitizer sees every acquire and release.
extern std::mutex usbMutex;

// Host side of the USB link: finds the converter by vendor/product ID, opens
// it, checks its identity and carries vendor control transfers. It knows
// nothing of what the requests mean (see USBMIREL).
class UsbDevice : public QObject
{
    Q_OBJECT

public:
    UsbDevice();
    ~UsbDevice() override;

    // Runs the connect procedure under usbMutex: 0 when a device is open and
    // has passed the identity check, -1 otherwise.
    int connect();
    // Closes the device if open; always writes "USB Disconnect".
    void disconnect();

    // Vendor IN transfer; connects first when closed. Bytes received or -1.
    int control_receive(
        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length);
    // Vendor OUT transfer; connects first when closed. A null buffer or zero
    // length sends a request without data stage. Bytes sent or -1.
    int control_send(
        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length);

    // USB serial-number string (string descriptor 3) as 8-bit characters.
    // Never connects: empty while the device is closed or the read fails.
    QByteArray serialNumber();

protected:
    // The caller holds usbMutex.
    int connectPrivate();
    void disconnectPrivate();
    void reportConnectFailure(bool matchSeen, bool permissionDenied) const;
    int control_receivePrivate(
        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length);

    // Identity a device must have to be taken; set by the derived class.
    uint16_t productId = 0;
    uint16_t vendorId = 0;
    uint16_t expectedZvid = 0;
    uint16_t expectedBrandId = 0;

private:
    usb_dev_handle *handle = nullptr; // guarded by usbMutex
};

#endif
