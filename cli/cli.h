#ifndef KELTO_CLI_CLI_H
#define KELTO_CLI_CLI_H

#include "console.h"

#include <QStringList>

namespace kelto::cli {

// Runs one command line (without the program name) and returns the exit
// code. Commands that talk to the device need a QCoreApplication; they run
// their own event loop where they wait.
int run(const QStringList &arguments, Console &console);

} // namespace kelto::cli

#endif
