// status and read: single service reads from the converter.
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "dumpbuffer.h"
#include "exitcode.h"
#include "inputfile.h"
#include "serviceconnection.h"
#include "usbmirel.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <vector>

namespace kelto::cli {

namespace {

// The window offers reads of up to 512 transfers of 2048 bytes.
constexpr int maxReadLength = 1048576;
// One request 1 transfer.
constexpr uint32_t readChunk = 2048;

QString bits(uint32_t value)
{
    return QString("%1").arg(value, 32, 2, QLatin1Char('0'));
}

} // namespace

int status(const QStringList &arguments, Console &console)
{
    const char command[] = "status";
    CommandLine line(command, "status [--json] [--serial SERIAL | --port PATH]",
        "Reads the converter's 32-bit status word and prints it as the window does,\n"
        "every bit, most significant first.\n\n"
        "Options:\n"
        "  --json            one JSON record instead of the text\n"
        "  --serial SERIAL   only the converter with this serial (any case)\n"
        "  --port PATH       only the converter at this USB port (see list)\n");
    line.addFlag("json");
    addUnitOptions(line);
    if (auto done = line.parse(arguments, 0, 0, console))
        return *done;

    USBMIREL device;
    if (auto done = applyUnitOptions(command, line, device, console))
        return *done;
    if (!connectDevice(command, device, console, true))
        return ExitFailed;
    uint32_t word = 0;
    const bool ok = device.StatusGet(word) == 0;
    device.disconnect();
    if (!ok) {
        fail(command, "Status: ERROR (the converter did not answer the status request)", console);
        return ExitFailed;
    }
    if (line.isSet("json")) {
        const QJsonObject o {{"status", qint64(word)},
            {"hex", QString("0x%1").arg(word, 8, 16, QChar('0'))}, {"bits", bits(word)}};
        console.out << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
    } else {
        console.out << "Status: " << bits(word) << "\n";
    }
    console.out.flush();
    return ExitOk;
}

int read(const QStringList &arguments, Console &console)
{
    const char command[] = "read";
    CommandLine line(command, "read [--serial SERIAL | --port PATH] ADDRESS LENGTH",
        "Reads LENGTH bytes (decimal, 1 to 1048576) of converter memory from ADDRESS\n"
        "(hexadecimal, \"0x\" optional), decoded as the window's read does, and\n"
        "prints their dump.\n\n"
        "Options:\n"
        "  --serial SERIAL   only the converter with this serial (any case)\n"
        "  --port PATH       only the converter at this USB port (see list)\n");
    addUnitOptions(line);
    if (auto done = line.parse(arguments, 2, 2, console))
        return *done;
    const auto address = parseHexadecimal(line.positional().at(0));
    if (!address)
        return line.usageError(console, "ADDRESS must be a 32-bit hexadecimal number");
    const auto length = parseDecimal(line.positional().at(1), 1, maxReadLength);
    if (!length)
        return line.usageError(console, "LENGTH must be a number from 1 to 1048576");

    USBMIREL device;
    if (auto done = applyUnitOptions(command, line, device, console))
        return *done;
    if (!connectDevice(command, device, console))
        return ExitFailed;
    // A transfer at a time, so that a failure names the address where the
    // converter's memory (or its willingness) ended.
    std::vector<unsigned char> buffer(size_t(*length), 0);
    for (uint32_t done = 0; done < uint32_t(*length); done += readChunk) {
        const uint32_t n = std::min(readChunk, uint32_t(*length) - done);
        const uint64_t at = uint64_t(*address) + done;
        if (at + n - 1 > 0xFFFFFFFFu
            || device.ReadMemory(buffer.data() + done, uint32_t(at), n) != 0) {
            device.disconnect();
            // What was read is shown, and only that: a dump with zeros where
            // nothing came would read like blank memory.
            QString shown;
            if (done > 0) {
                console.out << QString::fromLatin1(dumpMemory(buffer.data(), int(done), *address))
                            << "\n";
                console.out.flush();
                shown = QString("; the %1 bytes read before it, from 0x%2 to 0x%3, are shown")
                            .arg(done)
                            .arg(*address, 8, 16, QChar('0'))
                            .arg(uint32_t(at - 1), 8, 16, QChar('0'));
            }
            fail(command,
                QString("Read ERROR: the converter did not return %1 bytes at 0x%2 (outside its "
                        "memory?); the read stopped there%3")
                    .arg(n)
                    .arg(uint32_t(at), 8, 16, QChar('0'))
                    .arg(shown),
                console);
            return ExitFailed;
        }
    }
    device.disconnect();
    console.out << QString::fromLatin1(dumpMemory(buffer.data(), *length, *address)) << "\n";
    console.out.flush();
    return ExitOk;
}

} // namespace kelto::cli
