#ifndef KELTO_USB_USBDEVICE_H
#define KELTO_USB_USBDEVICE_H

#include "discovery.h"

#include <QByteArray>
#include <QObject>

#include <QList>
#include <QString>

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
    // Why the last transfer of the calling thread failed.
    enum class LinkError {
        None,
        Refused, // stalled, short, or any error that leaves the device on the bus
        Timeout, // the device did not answer within the transfer timeout
        Gone, // the device has left the bus, or the reconnect found no device
    };
    // Why the last connect of this object failed.
    enum class ConnectFailure {
        None,
        NotFound, // no such device on the bus
        NotAccessible, // present, but its node is not ours to use (permissions)
        InUse, // present, but another program holds its interface
        NotIdentified, // opened, but not (or not answering as) the device looked for
    };
    // One matching device on the bus, as a survey finds it without claiming
    // anything.
    struct Presence
    {
        int bus = 0;
        int address = 0; // device number on its bus
        QString port; // port path ("1-1.2"); empty where sysfs does not have it
        QByteArray serial; // empty when it could not be read
        ConnectFailure access = ConnectFailure::None; // NotAccessible when not openable
    };

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
    // True for a serial number as the bootloader reports it: the unit's nine
    // characters and a 'b'.
    static bool isBootloaderSerial(const QByteArray &usbSerial);

    // Once set, every connect (the implicit reconnects of the transfers
    // included) takes only the device whose serial is `serial` (its
    // application) or `serial` + "b" (its bootloader), in any case, so that
    // whatever closes the link in between, the next transfer goes to the
    // same unit.
    // Empty: the first matching device, as always. A trailing "b" is
    // ignored. Set while a device is open whose port the kernel tells, it
    // ties the object to that port as well (see setPort); cleared, it
    // unties both.
    void setSerial(const QByteArray &serial);
    QByteArray serial();
    // Once set, every connect takes only the device plugged in at `port`
    // (a port path, "1-1.2"): a unit keeps its port across its restarts,
    // and another unit reporting the same serial is never taken for it.
    // Empty: any port.
    void setPort(const QString &port);
    QString port();

    ConnectFailure lastConnectFailure();
    static LinkError lastLinkError();
    // A sentence for the user on why the connect failed.
    static QString describe(ConnectFailure failure);

    // Every device with the identity on the bus; devices the library cannot
    // list for lack of access are taken from sysfs. With openNodes, a device
    // whose serial sysfs does not hold is opened to read it (and one that
    // cannot be opened is marked so); without, nothing is opened. Ordered
    // by bus and device number.
    QList<Presence> survey(bool openNodes = true);

protected:
    // The caller holds usbMutex.
    int connectPrivate();
    void disconnectPrivate();
    void reportConnectFailure(bool matchSeen, bool permissionDenied, bool busy);
    int control_receivePrivate(
        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length);
    int control_sendPrivate(
        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *buffer, int length);

    // Identity a device must have to be taken; set by the derived class.
    uint16_t productId = 0;
    uint16_t vendorId = 0;
    uint16_t expectedZvid = 0;
    uint16_t expectedBrandId = 0;

private:
    usb_dev_handle *handle = nullptr; // guarded by usbMutex
    // Where the open device sits, to look for it after a failed transfer
    // (buspresence.h).
    int openBus = 0; // guarded by usbMutex
    int openAddress = 0; // guarded by usbMutex
    bool openInSysfs = false; // guarded by usbMutex
    QByteArray wantedSerial; // guarded by usbMutex
    QString wantedPort; // guarded by usbMutex
    QString openPort; // port of the device open now; guarded by usbMutex
    ConnectFailure connectFailure = ConnectFailure::None; // guarded by usbMutex
};

#endif
