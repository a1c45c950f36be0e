#include "upgradefile.h"

#include "boundedread.h"
#include "flashimage.h"
#include "imagecodec.h"
#include "outputfile.h"

#include <QDataStream>
#include <QIODevice>

namespace kelto::upgradefile {

namespace {

unsigned char *bytes(QByteArray &image)
{
    return reinterpret_cast<unsigned char *>(image.data());
}

// The length field of the next string or byte array, or -1 when it cannot
// be seen without reading. The stream would allocate whatever a field
// claims (in steps of a megabyte) before it finds the file shorter; fields
// that cannot be right are refused before that.
qint64 nextLength(QDataStream &in)
{
    QIODevice *device = in.device();
    if (!device || device->isSequential())
        return -1;
    const QByteArray field = device->peek(4);
    if (field.size() < 4)
        return -1;
    const auto *p = reinterpret_cast<const unsigned char *>(field.constData());
    return qint64(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
}

bool textMayBe(QDataStream &in, const QString &text)
{
    const qint64 length = nextLength(in);
    return length < 0 || length == 2 * text.size();
}

} // namespace

QByteArray blankImage()
{
    return QByteArray(int(flash::imageSize), '\0');
}

int convertApplication(const QString &hexFile, QByteArray &image)
{
    return flash::convertWindow(hexFile, bytes(image), flash::applicationWindow);
}

int convertExternal(const QString &hexFile, QByteArray &image)
{
    return flash::convertWindow(hexFile, bytes(image), flash::externalWindow);
}

bool brandAccepted(const QByteArray &image)
{
    const auto *p = reinterpret_cast<const unsigned char *>(image.constData());
    return flash::loadLe16(p + flash::applicationBrandOffset) == flash::acceptedBrand;
}

Build buildImage(const QString &hexFile, QByteArray &image)
{
    // The text is read once for both passes, so that a pipe gives both the
    // same build; a file that cannot be read converts as an empty one, as
    // the window's passes take it, and one too large fails both passes.
    QByteArray text;
    const input::Read in = input::readAll(hexFile, hex::largestBuild, text);
    const auto pass = [&](const flash::Window &w) {
        if (in.ok() && in.exceeded)
            return int(hex::CannotOpen);
        return hex::read(text, hex::Mode::Window, {{w.low, w.high, bytes(image) + w.offset}}).code;
    };
    Build build;
    image = blankImage();
    build.applicationResult = pass(flash::applicationWindow);
    if (build.applicationResult == 0 && !brandAccepted(image)) {
        build.brandAccepted = false;
        return build;
    }
    build.externalResult = pass(flash::externalWindow);
    flash::storeChecksums(bytes(image));
    return build;
}

hex::Result convertStrict(const QString &hexFile, QByteArray &image)
{
    image = blankImage();
    unsigned char *p = bytes(image);
    const flash::Window &a = flash::applicationWindow;
    const flash::Window &e = flash::externalWindow;
    return hex::readFile(
        hexFile, hex::Mode::Strict, {{a.low, a.high, p + a.offset}, {e.low, e.high, p + e.offset}});
}

int write(QIODevice &out, QByteArray &image)
{
    if (image.size() != int(flash::imageSize))
        return -1;
    QDataStream stream(&out);
    stream << headerText << versionText;
    encodeImage(bytes(image), flash::imageSize);
    stream << image;
    return stream.status() == QDataStream::Ok ? 0 : -1;
}

int writeFile(const QString &path, QByteArray &image, QString *error, const QStringList &inputs)
{
    const QString failed = output::write(
        path, [&image](QIODevice &out) { return write(out, image) == 0; }, inputs);
    if (error)
        *error = failed;
    return failed.isEmpty() ? 0 : -1;
}

ReadStatus readHeader(QDataStream &in)
{
    if (!textMayBe(in, headerText))
        return ReadStatus::WrongHeader;
    QString header;
    in >> header;
    if (in.status() != QDataStream::Ok || header != headerText)
        return ReadStatus::WrongHeader;
    if (!textMayBe(in, versionText))
        return ReadStatus::WrongVersion;
    QString version;
    in >> version;
    if (in.status() != QDataStream::Ok || version != versionText)
        return ReadStatus::WrongVersion;
    return ReadStatus::Ok;
}

ReadStatus readImage(QDataStream &in, QByteArray &image)
{
    const qint64 length = nextLength(in);
    if (length >= 0
        && (length < qint64(flash::imageSize) || length > in.device()->bytesAvailable() - 4))
        return ReadStatus::ShortImage;
    QByteArray block;
    in >> block;
    if (in.status() != QDataStream::Ok || block.size() < int(flash::imageSize))
        return ReadStatus::ShortImage;
    block.truncate(int(flash::imageSize));
    decodeImage(bytes(block), flash::imageSize);
    image = block;
    return ReadStatus::Ok;
}

ReadStatus read(QIODevice &in, QByteArray &image)
{
    QDataStream stream(&in);
    const ReadStatus status = readHeader(stream);
    if (status != ReadStatus::Ok)
        return status;
    return readImage(stream, image);
}

} // namespace kelto::upgradefile
