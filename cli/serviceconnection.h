#ifndef KELTO_CLI_SERVICECONNECTION_H
#define KELTO_CLI_SERVICECONNECTION_H

#include "console.h"

#include <QString>

class USBMIREL;

namespace kelto::cli {

// Connects before the first request, so that a missing converter is told
// apart from a request that failed; with needsApplication, a converter in
// its bootloader (which serves only the upgrade's requests) is told too.
// Prints the reason and returns false.
bool connectDevice(
    const QString &command, USBMIREL &device, Console &console, bool needsApplication = false);

} // namespace kelto::cli

#endif
