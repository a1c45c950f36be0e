#ifndef KELTO_CLI_COMMANDS_H
#define KELTO_CLI_COMMANDS_H

#include "console.h"

#include <QStringList>

// One function per command; each takes the arguments after its name and
// returns the exit code.
namespace kelto::cli {

int makeUpg(const QStringList &arguments, Console &console);
int makeBootBin(const QStringList &arguments, Console &console);
int inspect(const QStringList &arguments, Console &console);
int upgrade(const QStringList &arguments, Console &console);
int status(const QStringList &arguments, Console &console);
int ballasts(const QStringList &arguments, Console &console);
int read(const QStringList &arguments, Console &console);
int list(const QStringList &arguments, Console &console);
int history(const QStringList &arguments, Console &console);

} // namespace kelto::cli

#endif
