#ifndef KELTO_CLI_CONVERTERS_H
#define KELTO_CLI_CONVERTERS_H

#include "commandline.h"
#include "console.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

class USBMIREL;

namespace kelto::cli {

// One converter on the bus as `list` shows it.
struct Converter
{
    int bus = 0;
    int address = 0;
    QString serial; // the unit's nine characters; empty when unreadable
    QString usbSerial; // as reported (with "b" in the bootloader)
    QString mode; // "application", "bootloader", or empty when unknown
    QString version; // bootloader version text; empty when unreadable
    // Empty when the converter can be used; otherwise why not.
    QString access;

    bool usable() const { return access.isEmpty() && !serial.isEmpty(); }
    QString where() const;
    QString text() const;
    QJsonObject json() const;
};

// Every converter on the bus, found without claiming any. With versions,
// each one that can be opened is then connected briefly on its own to read
// its bootloader version.
QList<Converter> findConverters(bool withVersions);

// The --serial option of every command that talks to a converter.
void addSerialOption(CommandLine &line);
// Ties the device to the unit named by --serial. Nothing when the command
// goes on; the exit code (usage error) otherwise.
std::optional<int> applySerialOption(const CommandLine &line, USBMIREL &device, Console &console);

// A command that changes a converter takes none at random: without
// --serial and with more than one converter present it prints them and
// refuses (returns false).
bool singleConverterOrSerial(const QString &command, const CommandLine &line, Console &console);

} // namespace kelto::cli

#endif
