#ifndef KELTO_CLI_CONSOLE_H
#define KELTO_CLI_CONSOLE_H

#include <QTextStream>

// Where a command writes: results on out, errors on err. The streams are the
// process's stdout and stderr in the program and string buffers in tests.
namespace kelto::cli {

struct Console
{
    QTextStream &out;
    QTextStream &err;
    // Live progress bars only make sense where someone watches; logs of a
    // production line get plain percentages instead.
    bool outIsTerminal = false;
    // --trace: the debug trace and bulky diagnostics go to stderr.
    bool trace = false;
};

} // namespace kelto::cli

#endif
