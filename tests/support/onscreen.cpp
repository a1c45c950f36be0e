#include "onscreen.h"

#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QPixmap>
#include <QScreen>
#include <QWidget>

namespace kelto::test {

QImage onScreen(QAbstractScrollArea *area)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    const QWidget *viewport = area->viewport();
    const QPoint at = viewport->mapTo(area->window(), QPoint(0, 0));
    return area->screen()
        ->grabWindow(area->window()->winId(), at.x(), at.y(), viewport->width(), viewport->height())
        .toImage();
}

} // namespace kelto::test
