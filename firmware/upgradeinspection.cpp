#include "upgradeinspection.h"

#include "boundedread.h"
#include "flashimage.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDataStream>
#include <QStringList>

#include <algorithm>

namespace kelto::upgradefile {

namespace {

// Every area of the image: the upgrade writes only the application and the
// external flash section; a file whose other areas hold data was not made
// by this tool (a serial planted in the bootloader area, for one).
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

uint32_t dataStart(const unsigned char *start, uint32_t size)
{
    uint32_t n = 0;
    while (n < size && start[n] == 0)
        ++n;
    return n;
}

// The big-endian length field of the byte array that follows the texts.
qint64 peekLength(QIODevice &device)
{
    const QByteArray field = device.peek(4);
    if (field.size() < 4)
        return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(field.constData());
    return qint64(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
}

// Where the image block's length field is: after the two texts.
constexpr qint64 lengthFieldOffset = fileSize - 4 - qint64(flash::imageSize);

} // namespace

QString hex32(uint32_t value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

QString Inspection::refusal() const
{
    switch (status) {
    case ReadStatus::WrongHeader:
        return "Wrong file header";
    case ReadStatus::WrongVersion:
        return "Wrong file version";
    case ReadStatus::ShortImage:
        break;
    case ReadStatus::Ok:
        return QString();
    }
    if (imageLength < qint64(flash::imageSize))
        return QString("image block shorter than %1 bytes").arg(flash::imageSize);
    // The field claims a block the file does not hold; the count is the
    // file's own where the file system tells it.
    const qint64 follow = fileSize - lengthFieldOffset - 4;
    if (sizeUnknown || imageLength <= follow)
        return QString("the image length field claims %1 bytes, more than an upgrade file's %2")
            .arg(imageLength)
            .arg(flash::imageSize);
    return QString("the image length field claims %1 bytes, but only %2 follow it")
        .arg(imageLength)
        .arg(std::max<qint64>(follow, 0));
}

QString Inspection::findingsText() const
{
    QStringList texts;
    for (const Finding &f : findings)
        texts << f.text;
    return texts.join("; ");
}

Inspection inspect(const QString &path, const QByteArray &bytes, qint64 size)
{
    Inspection result;
    result.path = path;
    result.opened = true;
    result.sizeUnknown = size < 0 && bytes.size() > fileSize;
    result.fileSize = size >= 0 ? size : bytes.size();
    result.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    QBuffer file;
    file.setData(bytes);
    file.open(QIODevice::ReadOnly);

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
    result.status = readHeader(in);
    if (result.status != ReadStatus::Ok)
        return result;
    result.imageLength = peekLength(file);
    QByteArray image;
    result.status = readImage(in, image);
    if (result.status != ReadStatus::Ok)
        return result;
    result.image = image;

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
        const uint32_t scanned = area.hasChecksum ? area.size - 4 : area.size;
        section.dataSize = dataExtent(plain + area.offset, scanned);
        section.dataStart = dataStart(plain + area.offset, scanned);
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
    const qint64 after = result.fileSize - fileSize;
    if (result.sizeUnknown)
        result.findings.append(Finding {"bytes-after-image",
            QString("bytes after the image (the input goes on past %1 bytes), which the upgrade "
                    "ignores")
                .arg(fileSize)});
    else if (after > 0)
        result.findings.append(Finding {"bytes-after-image",
            QString("%1 bytes after the image, which the upgrade ignores").arg(after)});
    if (result.sections.at(1).dataSize == 0)
        result.findings.append(Finding {"empty-application", "the application area holds no data"});
    for (const Inspection::Section &s : result.sections) {
        if (s.written || s.dataSize == 0)
            continue;
        result.findings.append(Finding {"data-not-written",
            QString("the %1 holds data at %2-%3, which no upgrade writes and this tool never "
                    "puts there")
                .arg(s.name, hex32(s.address + s.dataStart), hex32(s.address + s.dataSize - 1))});
    }
    return result;
}

Inspection inspectFile(const QString &path)
{
    QByteArray bytes;
    const input::Read read = input::readAll(path, fileSize, bytes);
    if (!read.ok()) {
        Inspection result;
        result.path = path;
        result.openError = read.error;
        return result;
    }
    return inspect(path, bytes, read.size);
}

} // namespace kelto::upgradefile
