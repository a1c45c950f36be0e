#include "icofile.h"

#include <QtEndian>

namespace kelto::draw {
namespace {

void put16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

} // namespace

QByteArray icoFile(const QImage &image)
{
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width();
    const int h = img.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 dibSize = 40 + quint32(w * h * 4) + quint32(maskStride * h);

    QByteArray out;
    // ICONDIR: reserved, type 1 (icon), one image.
    put16(out, 0);
    put16(out, 1);
    put16(out, 1);
    // ICONDIRENTRY.
    out.append(char(w & 0xFF));
    out.append(char(h & 0xFF));
    out.append(char(0)); // no palette
    out.append(char(0));
    put16(out, 1); // planes
    put16(out, 32); // bits per pixel
    put32(out, dibSize);
    put32(out, 6 + 16); // the image follows the one entry
    // BITMAPINFOHEADER; the height counts colour rows and mask rows.
    put32(out, 40);
    put32(out, quint32(w));
    put32(out, quint32(h * 2));
    put16(out, 1);
    put16(out, 32);
    put32(out, 0); // BI_RGB
    put32(out, quint32(w * h * 4) + quint32(maskStride * h));
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(line[x])));
            out.append(char(qGreen(line[x])));
            out.append(char(qRed(line[x])));
            out.append(char(qAlpha(line[x])));
        }
    }
    out.append(QByteArray(maskStride * h, '\0'));
    return out;
}

} // namespace kelto::draw
