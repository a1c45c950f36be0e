#ifndef KELTO_TESTS_CLIRUN_H
#define KELTO_TESTS_CLIRUN_H

#include <QString>
#include <QStringList>

namespace kelto::test {

// One in-process run of a kelto-cli command line.
struct CliResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

CliResult runCli(const QStringList &arguments, bool terminal = false);

} // namespace kelto::test

#endif
