#ifndef KELTO_CLI_INPUTFILE_H
#define KELTO_CLI_INPUTFILE_H

#include "console.h"

#include <QString>

namespace kelto::cli {

// The window's commands take a file that cannot be read for an empty one;
// a script that mistypes a path must hear about it instead of getting
// images made from nothing. Prints the reason and returns false.
bool readableInput(const QString &command, const QString &path, Console &console);

// "kelto-cli COMMAND: message" on stderr.
void fail(const QString &command, const QString &message, Console &console);

} // namespace kelto::cli

#endif
