#include "cli.h"

#include "commandline.h"
#include "commands.h"
#include "debugfilter.h"
#include "exitcode.h"

namespace kelto::cli {

namespace {

struct Command
{
    const char *name;
    const char *summary;
    int (*run)(const QStringList &, Console &);
};

const Command commands[] = {
    {"make-upg", "make an upgrade file from a firmware build (Intel HEX)", makeUpg},
    {"make-bootbin", "make per-unit bootloader images stamped with serial numbers", makeBootBin},
    {"inspect", "show and check the contents of an upgrade file", inspect},
    {"list", "list the converters on the bus", list},
    {"upgrade", "write an upgrade file into the converter (or into all of them)", upgrade},
    {"status", "read the converter's status word", status},
    {"ballasts", "read the converter's ballast data once", ballasts},
    {"read", "read converter memory and dump it", read},
    {"history", "list the upgrade history and the issued serials", history},
};

void printOverview(QTextStream &to)
{
    to << "Usage: kelto-cli COMMAND [OPTIONS] [ARGUMENTS]\n\n"
          "Production and service commands for the Kelto converter.\n\n"
          "Commands:\n";
    for (const Command &c : commands)
        to << "  " << QString(c.name).leftJustified(14) << c.summary << "\n";
    to << "\nOptions of every command:\n"
          "  --help        show the command's help\n"
          "  --version     print the program's version\n"
          "  --trace       pass the program's debug trace to stderr\n"
          "  --serial S    (commands that talk to a converter) only the converter\n"
          "                with serial S, in either of its modes\n\n"
          "Exit codes: 0 done, 1 the operation failed, 2 wrong command line;\n"
          "an upgrade stopped by SIGHUP, SIGINT or SIGTERM: 129, 130, 143.\n";
}

} // namespace

int run(const QStringList &arguments, Console &console)
{
    if (arguments.isEmpty()) {
        printOverview(console.err);
        console.err.flush();
        return ExitUsage;
    }
    const QString name = arguments.first();
    if (name == "--help" || name == "-h" || name == "help") {
        printOverview(console.out);
        console.out.flush();
        return ExitOk;
    }
    if (name == "--version")
        return printVersion(console);

    // The debug trace (every USB transfer) would bury the command's own
    // output; it is only wanted when a fault is being chased.
    QStringList rest = arguments.mid(1);
    const bool trace = rest.removeAll("--trace") > 0;
    DebugFilter filter(trace);

    Console withTrace {console.out, console.err, console.outIsTerminal, trace};
    for (const Command &c : commands) {
        if (name == QLatin1String(c.name))
            return c.run(rest, withTrace);
    }
    console.err << "kelto-cli: unknown command '" << name << "'\n"
                << "Try 'kelto-cli --help' for the list of commands.\n";
    console.err.flush();
    return ExitUsage;
}

} // namespace kelto::cli
