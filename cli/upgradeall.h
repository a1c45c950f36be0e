#ifndef KELTO_CLI_UPGRADEALL_H
#define KELTO_CLI_UPGRADEALL_H

#include "console.h"

#include <QString>

namespace kelto::cli {

// upgrade --all: the file is read and checked once, then every converter
// present is upgraded by its own kelto-cli process (upgrade --serial), so
// that no unit's transfers wait for another's and a unit that fails, is
// unplugged or hangs ends only its own process.
int upgradeAll(const QString &path, bool json, bool force, bool skipUnchanged, Console &console);

} // namespace kelto::cli

#endif
