// make-bootbin: the window's per-unit bootloader image command without its
// dialogs.
#include "bootloaderimage.h"
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"
#include "hexbuild.h"
#include "historyoptions.h"
#include "inputfile.h"

#include <QDir>

namespace kelto::cli {

namespace {

const char command[] = "make-bootbin";
constexpr int lastUnit = 9999;

} // namespace

int makeBootBin(const QStringList &arguments, Console &console)
{
    CommandLine line(command,
        "make-bootbin BOOTLOADER.hex [--year YY] [--week WW] --first N --count C [--out DIR] "
        "[--replace]",
        "Converts the bootloader window of an Intel HEX build and writes one image per\n"
        "unit, Kelto_Bootloader_YYWW0NNNN.bin, stamped with the unit's serial number,\n"
        "byte for byte as the window's command does. Prints one line per file:\n"
        "the serial number and the file's path.\n\n"
        "The build is read strictly, as by make-upg; a build without data in the\n"
        "bootloader window 0x08000000-0x08003FFF is refused.\n\n"
        "Options:\n"
        "  --force      convert as the window's command does (see make-upg --help)\n"
        "  --year YY    production year, 0 to 99 (default: this year)\n"
        "  --week WW    production week, 1 to 53 where the year has 53 ISO weeks,\n"
        "               else to 52 (default: this ISO week)\n"
        "  --first N    first unit number, 1 to 9999\n"
        "  --count C    number of units, 1 to 10000 - N (the last unit is 9999 at most)\n"
        "  --out DIR    folder for the images (default: the current folder;\n"
        "               created when missing)\n"
        "  --replace    replace images that exist already; without it, a run that\n"
        "               would replace any writes none and names them (a serial is\n"
        "               issued once)\n"
        "  --reissue    issue serials the history has as issued before (recorded as\n"
        "               reissued); without it they are refused and no image is written\n"
        "  --require-history\n"
        "               refuse when the history cannot be written\n"
            + historyHelp(15));
    line.addValueOption("year", "YY");
    line.addValueOption("week", "WW");
    line.addValueOption("first", "N");
    line.addValueOption("count", "C");
    line.addValueOption("out", "DIR");
    line.addFlag("force");
    line.addFlag("replace");
    line.addFlag("reissue");
    addHistoryOptions(line, true);
    if (auto done = line.parse(arguments, 1, 1, console))
        return *done;

    const QDate today = bootimage::currentDate();
    const QStringList years = bootimage::yearItems();
    const QStringList weeks = bootimage::weekItems();
    int yearIndex = bootimage::yearPreselection(today);
    int weekIndex = bootimage::weekPreselection(today);
    if (line.isSet("year")) {
        const auto year = parseDecimal(line.value("year"), 0, int(years.size()) - 1);
        if (!year)
            return line.usageError(console, "--year takes a number from 0 to 99");
        yearIndex = *year;
    }
    if (line.isSet("week")) {
        const auto week = parseDecimal(line.value("week"), 1, int(weeks.size()));
        if (!week)
            return line.usageError(console, "--week takes a number from 1 to 53");
        weekIndex = *week - 1;
    }
    if (const QString why = bootimage::weekRefusal(years.at(yearIndex), weeks.at(weekIndex));
        !why.isEmpty())
        return line.usageError(console, why);
    if (!line.isSet("first") || !line.isSet("count"))
        return line.usageError(console, "--first and --count are required");
    const auto first = parseDecimal(line.value("first"), 1, lastUnit);
    if (!first)
        return line.usageError(console, "--first takes a number from 1 to 9999");
    // Every unit number up to 9999 is a valid serial; the window's dialog
    // keeps its own narrower limit.
    const int maxCount = lastUnit - *first + 1;
    const auto count = parseDecimal(line.value("count"), 1, maxCount);
    if (!count)
        return line.usageError(
            console, QString("--count takes a number from 1 to %1").arg(maxCount));

    const QString hexFile = line.positional().at(0);
    QByteArray image;
    if (line.isSet("force")) {
        if (!readableInput(command, hexFile, console))
            return ExitFailed;
        const int result = bootimage::convert(hexFile, image);
        if (result != 0) {
            fail(command, QString("HexToBin error: %1)").arg(result), console);
            return ExitFailed;
        }
    } else {
        const hex::Result r = bootimage::convertStrict(hexFile, image);
        if (!reportHexResult(command, hexFile, r, console))
            return ExitFailed;
        if (r.stored.at(0) == 0) {
            fail(command,
                QString("%1: no data in the bootloader window 0x08000000-0x08003FFF (an "
                        "application build or an empty one?)")
                    .arg(hexFile),
                console);
            return ExitFailed;
        }
        reportOutside(hexFile, r, console);
    }
    if (!bootimage::brandAccepted(image)) {
        fail(command, "Err: Invalid brand!", console);
        return ExitFailed;
    }

    const QDir out(line.isSet("out") ? line.value("out") : QString("."));
    if (!out.mkpath(".")) {
        fail(command, QString("cannot create %1").arg(out.path()), console);
        return ExitFailed;
    }
    const QString year = years.at(yearIndex);
    const QString week = weeks.at(weekIndex);
    if (!line.isSet("replace")) {
        const QStringList existing
            = bootimage::existingImages(out.path(), year, week, *first, *count);
        if (!existing.isEmpty()) {
            fail(command,
                bootimage::existingImagesRefusal(existing) + "\n(use --replace to replace them)",
                console);
            return ExitFailed;
        }
    }
    // Recorded as issued, all or none, before any image exists.
    QStringList serials;
    for (int unit = *first; unit < *first + *count; ++unit)
        serials << bootimage::serial(year, week, unit);
    if (auto done = recordIssuedSerials(command, line, serials, hexFile, console))
        return *done;
    for (int unit = *first; unit < *first + *count; ++unit) {
        const QString serial = bootimage::serial(year, week, unit);
        bootimage::stampSerial(image, serial);
        const QString path = out.filePath(bootimage::fileName(serial));
        QString error;
        if (bootimage::writeFile(path, image, &error, {hexFile}) != 0) {
            fail(command, error, console);
            return ExitFailed;
        }
        console.out << serial << " " << path << "\n";
    }
    console.out.flush();
    return ExitOk;
}

} // namespace kelto::cli
