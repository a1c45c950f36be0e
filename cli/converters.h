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
    QString port; // port path ("1-1.2"); empty when sysfs does not tell
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

// The --serial and --port options of every command that talks to a
// converter.
void addUnitOptions(CommandLine &line);
// Picks the converter the command is for and ties the device to its serial
// and port, so that the command's reconnects, and the restarts of an
// upgrade, find that unit or none. With neither option a command that
// reads takes the first converter, while one that changes (`changes`)
// takes the only one present and refuses to choose among several. A
// serial (any case) or port that matches no converter, or a serial that
// several have, is refused with what is present. Nothing when the command
// goes on; its exit code otherwise.
std::optional<int> applyUnitOptions(const QString &command, const CommandLine &line,
    USBMIREL &device, Console &console, bool changes = false);

} // namespace kelto::cli

#endif
