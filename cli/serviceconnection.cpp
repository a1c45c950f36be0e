#include "serviceconnection.h"

#include "inputfile.h"
#include "usbmirel.h"

namespace kelto::cli {

bool connectDevice(const QString &command, USBMIREL &device, Console &console)
{
    if (device.connect() == 0)
        return true;
    fail(command, UsbDevice::describe(device.lastConnectFailure()), console);
    return false;
}

} // namespace kelto::cli
