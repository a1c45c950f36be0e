#include "inspection.h"

#include "flashimage.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>

namespace kelto::cli {

namespace {

// Every area of the image: the upgrade writes only the application and the
// external flash section; a file whose other areas hold data was not made
// by this tool.
struct Area
{
    const char *name;
    uint32_t offset;
    uint32_t size;
    bool written;
    bool hasChecksum;
};

const Area areas[] = {
    {"bootloader area", flash::bootloaderOffset, flash::bootloaderSize, false, false},
    {"application", flash::applicationOffset, flash::applicationSize, true, true},
    {"external flash", flash::externalOffset, flash::externalSize, true, true},
    {"unused area", flash::externalOffset + flash::externalSize,
        flash::imageSize - flash::externalOffset - flash::externalSize, false, false},
};

uint32_t dataExtent(const unsigned char *start, uint32_t size)
{
    for (uint32_t n = size; n > 0; --n) {
        if (start[n - 1] != 0)
            return n;
    }
    return 0;
}

// The big-endian length field of the byte array that follows the texts.
qint64 peekLength(QFile &file)
{
    const QByteArray field = file.peek(4);
    if (field.size() < 4)
        return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(field.constData());
    return qint64(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
}

} // namespace

QString hex32(uint32_t value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

Inspection inspectFile(const QString &path)
{
    Inspection result;
    result.path = path;
    QFile file(path);
    result.opened = !QFileInfo(path).isDir() && file.open(QIODevice::ReadOnly);
    if (!result.opened) {
        result.openError = QFileInfo(path).isDir() ? "it is a folder" : file.errorString();
        return result;
    }
    result.fileSize = file.size();

    // The texts are read once for display; the verdict comes from the
    // reader the upgrade uses, so both agree on what is refused.
    {
        QDataStream texts(&file);
        texts >> result.header;
        if (texts.status() == QDataStream::Ok)
            texts >> result.version;
    }
    file.seek(0);
    QDataStream in(&file);
    result.status = upgradefile::readHeader(in);
    if (result.status != upgradefile::ReadStatus::Ok)
        return result;
    result.imageLength = peekLength(file);
    QByteArray image;
    result.status = upgradefile::readImage(in, image);
    if (result.status != upgradefile::ReadStatus::Ok)
        return result;

    const auto *plain = reinterpret_cast<const unsigned char *>(image.constData());
    result.brand = flash::loadLe16(plain + flash::applicationBrandOffset);
    result.storedChecksumA = flash::loadLe32(plain + flash::checksumAOffset);
    result.computedChecksumA = flash::checksumA(plain);
    result.storedChecksumB = flash::loadLe32(plain + flash::checksumBOffset);
    result.computedChecksumB = flash::checksumB(plain);
    for (const Area &area : areas) {
        Inspection::Section section;
        section.name = area.name;
        section.address = flash::flashBase + area.offset;
        section.size = area.size;
        section.written = area.written;
        section.dataSize
            = dataExtent(plain + area.offset, area.hasChecksum ? area.size - 4 : area.size);
        result.sections.append(section);
    }

    using Finding = Inspection::Finding;
    if (result.storedChecksumA != result.computedChecksumA)
        result.findings.append(Finding {"checksum-a",
            QString("checksum A is %1, the application sums to %2")
                .arg(hex32(result.storedChecksumA), hex32(result.computedChecksumA))});
    if (result.storedChecksumB != result.computedChecksumB)
        result.findings.append(Finding {"checksum-b",
            QString("checksum B is %1, the external flash section sums to %2")
                .arg(hex32(result.storedChecksumB), hex32(result.computedChecksumB))});
    if (result.brand != flash::acceptedBrand)
        result.findings.append(Finding {"foreign-brand",
            QString("brand code %1 at 0x0803ffd0 is not a brand this tool builds for")
                .arg(result.brand)});
    const qint64 after = result.fileSize - upgradefile::fileSize;
    if (after > 0)
        result.findings.append(Finding {"bytes-after-image",
            QString("%1 bytes after the image, which the upgrade ignores").arg(after)});
    if (result.sections.at(1).dataSize == 0)
        result.findings.append(Finding {"empty-application", "the application area holds no data"});
    return result;
}

} // namespace kelto::cli
