#include "clirun.h"

#include "cli.h"

#include <QTextStream>

namespace kelto::test {

CliResult runCli(const QStringList &arguments, bool terminal)
{
    CliResult result;
    {
        QTextStream out(&result.out);
        QTextStream err(&result.err);
        kelto::cli::Console console {out, err, terminal};
        result.exitCode = kelto::cli::run(arguments, console);
    }
    return result;
}

} // namespace kelto::test
