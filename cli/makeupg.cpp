// make-upg: the window's upgrade file command without its dialogs, reading
// the build strictly unless told to convert it as the window does.
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"
#include "flashimage.h"
#include "hexbuild.h"
#include "inputfile.h"
#include "upgradefile.h"
#include "upgradeinspection.h"

#include <QBuffer>

namespace kelto::cli {

namespace {

const char command[] = "make-upg";

QString hex32(uint32_t value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

// The window's conversion: both passes, their codes, a file written after a
// conversion error when forced. False when it is to stop.
bool convertAsWindow(const QString &hexFile, QByteArray &image, bool &converted, Console &console)
{
    if (!readableInput(command, hexFile, console))
        return false;
    const upgradefile::Build build = upgradefile::buildImage(hexFile, image);
    if (!build.brandAccepted) {
        fail(command, "Err: Invalid brand!", console);
        return false;
    }
    converted = true;
    for (int result : {build.applicationResult, build.externalResult}) {
        if (result != 0) {
            fail(command, QString("HexToBin error: %1)").arg(result), console);
            converted = false;
        }
    }
    return true;
}

bool convertStrictly(const QString &hexFile, QByteArray &image, Console &console)
{
    const hex::Result r = upgradefile::convertStrict(hexFile, image);
    if (!reportHexResult(command, hexFile, r, console))
        return false;
    if (r.stored.at(0) == 0) {
        fail(command,
            QString("%1: no data in the application window 0x08004000-0x0803FFFF (a bootloader "
                    "build or an empty one?)")
                .arg(hexFile),
            console);
        return false;
    }
    if (!upgradefile::brandAccepted(image)) {
        fail(command,
            QString("%1: Err: Invalid brand! (brand code %2 at 0x0803FFD0, only 0 is built for)")
                .arg(hexFile)
                .arg(flash::loadLe16(reinterpret_cast<const unsigned char *>(image.constData())
                    + flash::applicationBrandOffset)),
            console);
        return false;
    }
    flash::storeChecksums(reinterpret_cast<unsigned char *>(image.data()));
    // The file is what inspect and the upgrade will read; one they would
    // refuse (an application of zeros only, for one) is not made.
    QByteArray encoded = image;
    QBuffer file;
    file.open(QIODevice::WriteOnly);
    upgradefile::write(file, encoded);
    const upgradefile::Inspection inspection
        = upgradefile::inspect(hexFile, file.data(), file.data().size());
    if (!inspection.sound()) {
        fail(command,
            QString("%1: %2; the upgrade would refuse the file, so it is not written")
                .arg(hexFile,
                    inspection.accepted() ? inspection.findingsText() : inspection.refusal()),
            console);
        return false;
    }
    reportOutside(hexFile, r, console);
    return true;
}

} // namespace

int makeUpg(const QStringList &arguments, Console &console)
{
    CommandLine line(command, "make-upg [--force] FIRMWARE.hex OUT.upg",
        "Converts the application and external flash windows of an Intel HEX firmware\n"
        "build into an upgrade file.\n\n"
        "The build is read strictly: a record with a wrong checksum, a line that is\n"
        "no record, a file without its end-of-file record, overlapping records with\n"
        "different bytes, or a build without data in the application window\n"
        "0x08004000-0x0803FFFF is refused with the file, the line and the reason.\n"
        "Records of up to 255 data bytes, LF, CR LF and CR line ends and record\n"
        "types 00 to 05 are taken. Data outside the converted windows is reported\n"
        "and left out. A brand code other than 0 is refused (\"Err: Invalid brand!\"),\n"
        "and so is a build whose upgrade file inspect would refuse (an application\n"
        "window of zeros only) and a build larger than 32 MiB.\n"
        "Errors go to stderr with exit code 1; nothing is written then.\n\n"
        "Options:\n"
        "  --force   convert as the window's command does (records of up to 25 bytes,\n"
        "            no checksums, \"HexToBin error: N)\" for the first bad field) and\n"
        "            write the file even after a conversion error, with whatever\n"
        "            the conversion stored (the exit code stays 1)\n");
    line.addFlag("force");
    if (auto done = line.parse(arguments, 2, 2, console))
        return *done;
    const QString hexFile = line.positional().at(0);
    const QString upgFile = line.positional().at(1);
    const QString refused = output::refusal(upgFile, {hexFile});
    if (!refused.isEmpty()) {
        fail(command, refused, console);
        return ExitFailed;
    }

    QByteArray image;
    bool converted = true;
    if (line.isSet("force")) {
        if (!convertAsWindow(hexFile, image, converted, console))
            return ExitFailed;
    } else if (!convertStrictly(hexFile, image, console)) {
        return ExitFailed;
    }

    const auto *plain = reinterpret_cast<const unsigned char *>(image.constData());
    const uint32_t checksumA = flash::loadLe32(plain + flash::checksumAOffset);
    const uint32_t checksumB = flash::loadLe32(plain + flash::checksumBOffset);
    QString error;
    if (upgradefile::writeFile(upgFile, image, &error, {hexFile}) != 0) {
        fail(command, error, console);
        return ExitFailed;
    }
    console.out << upgFile << ": " << upgradefile::fileSize << " bytes, checksum A "
                << hex32(checksumA) << ", checksum B " << hex32(checksumB) << "\n";
    console.out.flush();
    return converted ? ExitOk : ExitFailed;
}

} // namespace kelto::cli
