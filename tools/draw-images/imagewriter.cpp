#include "imagewriter.h"

#include <QDir>
#include <QPainter>

namespace kelto::draw {

ImageWriter::ImageWriter(const QString &folder)
    : folder(folder)
{
    QDir().mkpath(folder);
}

bool ImageWriter::save(const QString &fileName, const QImage &image)
{
    const QString path = QDir(folder).filePath(fileName);
    const bool bitmap = fileName.endsWith(QLatin1String(".bmp"));
    // Bitmaps carry no alpha: flatten them onto white first.
    QImage out = image;
    if (bitmap) {
        out = QImage(image.size(), QImage::Format_RGB32);
        out.fill(Qt::white);
        QPainter p(&out);
        p.drawImage(0, 0, image);
    } else {
        out = image.convertToFormat(QImage::Format_ARGB32);
    }
    const bool saved = out.save(path, bitmap ? "BMP" : "PNG");
    if (saved)
        files << fileName;
    else
        ++failures;
    return saved;
}

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage columns(const QImage &image, int x, int width)
{
    return image.copy(x, 0, width, image.height());
}

QImage rows(const QImage &image, int y, int height)
{
    return image.copy(0, y, image.width(), height);
}

} // namespace kelto::draw
