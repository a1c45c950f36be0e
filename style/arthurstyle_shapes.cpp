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
