// make-upg: the window's upgrade file command without its dialogs.
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"
#include "flashimage.h"
#include "inputfile.h"
#include "upgradefile.h"

namespace kelto::cli {

namespace {

const char command[] = "make-upg";

QString hex32(uint32_t value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

} // namespace

int makeUpg(const QStringList &arguments, Console &console)
{
    CommandLine line(command, "make-upg [--force] FIRMWARE.hex OUT.upg",
        "Converts the application and external flash windows of an Intel HEX firmware\n"
        "build into an upgrade file, byte for byte as the window's command does.\n\n"
        "Errors go to stderr with exit code 1: a brand code other than 0 in the\n"
        "build (\"Err: Invalid brand!\", no file written), conversion errors\n"
        "(\"HexToBin error: N)\"), and a file that cannot be written.\n\n"
        "Options:\n"
        "  --force   write the file even after a conversion error, with whatever\n"
        "            the conversion stored (the exit code stays 1)\n");
    line.addFlag("force");
    if (auto done = line.parse(arguments, 2, 2, console))
        return *done;
    const QString hexFile = line.positional().at(0);
    const QString upgFile = line.positional().at(1);
    if (!readableInput(command, hexFile, console))
        return ExitFailed;

    QByteArray image;
    const upgradefile::Build build = upgradefile::buildImage(hexFile, image);
    if (!build.brandAccepted) {
        fail(command, "Err: Invalid brand!", console);
        return ExitFailed;
    }
    bool converted = true;
    for (int result : {build.applicationResult, build.externalResult}) {
        if (result != 0) {
            fail(command, QString("HexToBin error: %1)").arg(result), console);
            converted = false;
        }
    }
    // A pipeline must not pick up a half-converted release by accident.
    if (!converted && !line.isSet("force")) {
        fail(command, QString("%1 not written (use --force to write it anyway)").arg(upgFile),
            console);
        return ExitFailed;
    }

    const auto *plain = reinterpret_cast<const unsigned char *>(image.constData());
    const uint32_t checksumA = flash::loadLe32(plain + flash::checksumAOffset);
    const uint32_t checksumB = flash::loadLe32(plain + flash::checksumBOffset);
    if (upgradefile::writeFile(upgFile, image) != 0) {
        fail(command, QString("File write error: %1").arg(upgFile), console);
        return ExitFailed;
    }
    console.out << upgFile << ": " << upgradefile::fileSize << " bytes, checksum A "
                << hex32(checksumA) << ", checksum B " << hex32(checksumB) << "\n";
    console.out.flush();
    return converted ? ExitOk : ExitFailed;
}

} // namespace kelto::cli
