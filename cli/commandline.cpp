#include "commandline.h"

#include "exitcode.h"

#include <QRegularExpression>

#include <utility>

namespace kelto::cli {

CommandLine::CommandLine(QString command, QString usage, QString description)
    : command(std::move(command))
    , usage(std::move(usage))
    , description(std::move(description))
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(QCommandLineOption(QStringList {"h", "help"}));
    parser.addOption(QCommandLineOption("version"));
}

void CommandLine::addValueOption(const QString &name, const QString &valueName)
{
    valueOptions << "--" + name << "-" + name;
    parser.addOption(QCommandLineOption(name, QString(), valueName));
}

void CommandLine::addFlag(const QString &name)
{
    parser.addOption(QCommandLineOption(name));
}

std::optional<int> CommandLine::parse(
    const QStringList &arguments, int minPositional, int maxPositional, Console &console)
{
    // The parser would take "-1" for an option named 1; a number where a
    // positional argument goes is told as what it is.
    static const QRegularExpression negative("^-[0-9]");
    for (int i = 0; i < arguments.size(); ++i) {
        const bool isValue = i > 0 && valueOptions.contains(arguments.at(i - 1));
        if (!isValue && negative.match(arguments.at(i)).hasMatch())
            return usageError(
                console, QString("'%1': negative numbers are not accepted").arg(arguments.at(i)));
    }
    // The parser takes the first element for the program name.
    if (!parser.parse(QStringList {"kelto-cli"} + arguments))
        return usageError(console, parser.errorText());
    if (parser.isSet("help")) {
        console.out << "Usage: kelto-cli " << usage << "\n\n" << description;
        console.out.flush();
        return int(ExitOk);
    }
    if (parser.isSet("version"))
        return printVersion(console);
    // Which of two values was meant is anyone's guess.
    const QStringList names = parser.optionNames();
    for (const QString &name : names) {
        if (names.count(name) > 1)
            return usageError(console, QString("option --%1 given more than once").arg(name));
    }
    const int n = int(parser.positionalArguments().size());
    if (n < minPositional)
        return usageError(console, "missing argument");
    if (n > maxPositional)
        return usageError(console,
            QString("unexpected argument '%1'").arg(parser.positionalArguments().at(n - 1)));
    return std::nullopt;
}

int CommandLine::usageError(Console &console, const QString &message) const
{
    console.err << "kelto-cli " << command << ": " << message << "\n"
                << "Usage: kelto-cli " << usage << "\n"
                << "Try 'kelto-cli " << command << " --help' for more information.\n";
    console.err.flush();
    return ExitUsage;
}

int printVersion(Console &console)
{
    console.out << "kelto-cli " << KELTO_VERSION << "\n";
    console.out.flush();
    return ExitOk;
}

std::optional<int> parseDecimal(const QString &text, int min, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> parseHexadecimal(const QString &text)
{
    // Base 16 takes an optional "0x" prefix, as the window's address dialogs.
    bool ok = false;
    const uint32_t value = text.trimmed().toUInt(&ok, 16);
    if (!ok || text.trimmed().isEmpty())
        return std::nullopt;
    return value;
}

} // namespace kelto::cli
