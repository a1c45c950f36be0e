#ifndef KELTO_CLI_HEXBUILD_H
#define KELTO_CLI_HEXBUILD_H

#include "console.h"
#include "hexreader.h"
#include "outputfile.h"

#include <QString>

namespace kelto::cli {

// "FILE:LINE: reason" for a build the strict reader refused; true when it
// was taken.
bool reportHexResult(
    const QString &command, const QString &hexFile, const hex::Result &result, Console &console);

// Data outside the converted windows is no error (a combined bootloader and
// application build is normal), but it is said, on stdout.
void reportOutside(const QString &hexFile, const hex::Result &result, Console &console);

} // namespace kelto::cli

#endif
