// Writes the sample firmware build, and on request the upgrade file made from
// it by the same code as the window's upgrade file command.
//
//   kelto-sample-firmware <dir> [upgrade.upg]
#include "samplefirmware.h"
#include "upgradefile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

bool save(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s <dir> [upgrade.upg]\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(".")) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    const QString application = dir.filePath("kelto_sample_application.hex");
    const QString bootloader = dir.filePath("kelto_sample_bootloader.hex");
    if (!save(application, kelto::sample::applicationHex())
        || !save(bootloader, kelto::sample::bootloaderHex()))
        return 1;
    if (argc < 3)
        return 0;

    QByteArray image;
    const kelto::upgradefile::Build build = kelto::upgradefile::buildImage(application, image);
    if (build.applicationResult != 0 || build.externalResult != 0 || !build.brandAccepted) {
        std::fprintf(stderr, "conversion failed: %d %d brand %s\n", build.applicationResult,
            build.externalResult, build.brandAccepted ? "ok" : "rejected");
        return 1;
    }
    if (kelto::upgradefile::writeFile(QString::fromLocal8Bit(argv[2]), image) != 0) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
