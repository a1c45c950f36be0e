#include "serviceconnection.h"

#include "inputfile.h"
#include "usbmirel.h"

namespace kelto::cli {

bool connectDevice(const QString &command, USBMIREL &device, Console &console)
{
    if (device.connect() == 0)
        return true;
    fail(command, "no converter found (USB 16c0:078b); check the USB cable", console);
    return false;
}

} // namespace kelto::cli
