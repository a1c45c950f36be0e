#include "upgradefile.h"

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
    Build build;
    image = blankImage();
    build.applicationResult = convertApplication(hexFile, image);
    if (build.applicationResult == 0 && !brandAccepted(image)) {
        build.brandAccepted = false;
        return build;
    }
    build.externalResult = convertExternal(hexFile, image);
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
    QString header;
    in >> header;
    if (in.status() != QDataStream::Ok || header != headerText)
        return ReadStatus::WrongHeader;
    QString version;
    in >> version;
    if (in.status() != QDataStream::Ok || version != versionText)
        return ReadStatus::WrongVersion;
    return ReadStatus::Ok;
}

ReadStatus readImage(QDataStream &in, QByteArray &image)
{
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
