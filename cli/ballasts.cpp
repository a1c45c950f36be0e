// ballasts: one reading of the converter's ballast data.
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"

namespace kelto::cli {

int ballasts(const QStringList &arguments, Console &console)
{
    CommandLine line("ballasts", "ballasts [--json]", "Reads the converter's ballast data once.\n");
    line.addFlag("json");
    if (auto done = line.parse(arguments, 0, 0, console))
        return *done;
    return ExitFailed;
}

} // namespace kelto::cli
