// The shared shapes of the style: cached images and the two pills.
#include "arthurstyle.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPixmapCache>

QPixmap ArthurStyle::cachedPixmap(const QString &path)
{
    QPixmap pixmap;
    if (QPixmapCache::find(path, &pixmap))
        return pixmap;
    const QImage image(path);
    if (image.isNull())
        return QPixmap(); // not cached: a later registration may still bring it
    pixmap = QPixmap::fromImage(image, Qt::OrderedDither | Qt::OrderedAlphaDither);
    if (!pixmap.isNull())
        QPixmapCache::insert(path, pixmap);
    return pixmap;
}

QPixmap ArthurStyle::scaledPixmap(const QString &path, const QSize &size)
{
    const QString key = QStringLiteral("%1@%2x%3").arg(path).arg(size.width()).arg(size.height());
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap))
        return pixmap;
    const QPixmap source = cachedPixmap(path);
    if (source.isNull() || size.isEmpty())
        return QPixmap();
    // Row and column copies: the pieces are flat along their long side, and
    // a plain copy keeps their edges crisp where a filter would blur them.
    const QImage from = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage to(size, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < size.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(
            from.constScanLine(int(qint64(y) * from.height() / size.height())));
        auto *out = reinterpret_cast<QRgb *>(to.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            out[x] = in[qint64(x) * from.width() / size.width()];
    }
    pixmap = QPixmap::fromImage(to);
    if (!pixmap.isNull())
        QPixmapCache::insert(key, pixmap);
    return pixmap;
}

void ArthurStyle::drawHoverPill(QPainter *painter, const QRect &rect)
{
    const int h = rect.height();
    QPainterPath pill;
    pill.addRect(rect.left() + h / 2, rect.top(), rect.width() - h, h);
    pill.addEllipse(rect.left(), rect.top(), h, h);
    pill.addEllipse(rect.right() + 1 - h, rect.top(), h, h);
    pill.setFillRule(Qt::WindingFill);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(191, 215, 191, 255));
    painter->drawPath(pill);
    painter->restore();
}

void ArthurStyle::drawVerticalPill(QPainter *painter, const QRect &rect, const QColor &color)
{
    const int w = rect.width();
    QPainterPath pill;
    pill.addRect(rect.left(), rect.top() + w / 2, w, rect.height() - w);
    pill.addEllipse(rect.left(), rect.top(), w, w);
    pill.addEllipse(rect.left(), rect.bottom() + 1 - w, w, w);
    pill.setFillRule(Qt::WindingFill);

    QLinearGradient fade(0, 0, 0, rect.height());
    fade.setColorAt(0, color);
    fade.setColorAt(1, QColor(255, 255, 255, 128));

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fade);
    painter->drawPath(pill);
    painter->restore();
}
