#include "serviceconnection.h"

#include "inputfile.h"
#include "usbmirel.h"

namespace kelto::cli {

bool connectDevice(
    const QString &command, USBMIREL &device, Console &console, bool needsApplication)
{
    if (device.connect() != 0) {
        fail(command, UsbDevice::describe(device.lastConnectFailure()), console);
        return false;
    }
    if (!needsApplication)
        return true;
    // Ten characters ending in 'b': the bootloader runs.
    const QByteArray serial = device.serialNumber();
    if (serial.size() == 10 && serial.endsWith('b')) {
        device.disconnect();
        fail(command,
            QString("the converter is in its bootloader (serial %1), which does not answer "
                    "%2; run an upgrade to start its application")
                .arg(QString::fromLatin1(serial), command),
            console);
        return false;
    }
    return true;
}

} // namespace kelto::cli
