#ifndef KELTO_TOOLS_IMAGEWRITER_H
#define KELTO_TOOLS_IMAGEWRITER_H

#include <QImage>
#include <QString>
#include <QStringList>

namespace kelto::draw {

// Saves the drawn images into one folder and remembers what it wrote, so the
// generator can report every file and refuse a wrong size early.
class ImageWriter
{
public:
    explicit ImageWriter(const QString &folder);

    // Saves the image under its exact file name; the format follows the
    // suffix (PNG or BMP). Returns false when the file cannot be written.
    bool save(const QString &fileName, const QImage &image);

    QStringList written() const { return files; }
    bool ok() const { return failures == 0; }

private:
    QString folder;
    QStringList files;
    int failures = 0;
};

// A transparent image of the given size to draw on.
QImage canvas(int width, int height);

// The columns [x, x + width) of an image: caps and stretches are cut from one
// drawing so that they meet without a seam.
QImage columns(const QImage &image, int x, int width);
// The rows [y, y + height) of an image.
QImage rows(const QImage &image, int y, int height);

} // namespace kelto::draw

#endif
