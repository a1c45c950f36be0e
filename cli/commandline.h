#ifndef KELTO_CLI_COMMANDLINE_H
#define KELTO_CLI_COMMANDLINE_H

#include "console.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

namespace kelto::cli {

// The arguments of one command: its options, its positional arguments and
// its help text. Every command answers --help the same way and reports
// every malformed command line as a usage error (exit code 2) on stderr.
class CommandLine
{
public:
    // usage: the synopsis after "kelto-cli", e.g. "inspect FILE.upg";
    // description: the rest of the help text.
    CommandLine(QString command, QString usage, QString description);

    void addValueOption(const QString &name, const QString &valueName);
    void addFlag(const QString &name);

    // Nothing when the command is to run; otherwise the exit code to return
    // (help printed: 0, usage error printed: 2).
    std::optional<int> parse(
        const QStringList &arguments, int minPositional, int maxPositional, Console &console);

    QStringList positional() const { return parser.positionalArguments(); }
    bool isSet(const QString &name) const { return parser.isSet(name); }
    QString value(const QString &name) const { return parser.value(name); }

    // Prints "kelto-cli COMMAND: message" and the synopsis; returns 2.
    int usageError(Console &console, const QString &message) const;

private:
    QString command;
    QString usage;
    QString description;
    QCommandLineParser parser;
    QStringList valueOptions; // as written on a command line
};

// Prints "kelto-cli VERSION" on stdout; returns 0.
int printVersion(Console &console);

// A decimal number in [min, max]; nothing for anything else.
std::optional<int> parseDecimal(const QString &text, int min, int max);
// A 32-bit hexadecimal number, "0x" prefix optional.
std::optional<uint32_t> parseHexadecimal(const QString &text);

} // namespace kelto::cli

#endif
