// Construction, polishing and geometry of the style; the painting is in
// arthurstyle_draw.cpp and the shared shapes in arthurstyle_shapes.cpp.
#include "arthurstyle.h"

#include "resources.h"
#include "styleimages.h"

#include <QGroupBox>
#include <QLayout>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyleFactory>
#include <QStyleOption>

namespace {

const QColor kWindow(241, 241, 241, 255);

bool wantsHover(const QWidget *widget)
{
    return qobject_cast<const QPushButton *>(widget) || qobject_cast<const QRadioButton *>(widget)
        || qobject_cast<const QSlider *>(widget);
}

QRect widgetRect(const QStyleOption *option, const QWidget *widget)
{
    return widget ? widget->rect() : option->rect;
}

} // namespace

ArthurStyle::ArthurStyle()
    : QProxyStyle(QStyleFactory::create("Windows"))
{
    // The images must be there before the first paint, whatever the order
    // of static initialisation was.
    kelto::registerResources();
}

void ArthurStyle::polish(QWidget *widget)
{
    QProxyStyle::polish(widget);
    if (!widget)
        return;

    if (auto *box = qobject_cast<QGroupBox *>(widget); box && box->layout()) {
        // Nested boxes need room around the inner frames; a leaf box packs
        // its contents tight against its own frame.
        if (box->findChildren<QGroupBox *>().isEmpty())
            box->layout()->setSpacing(0);
        else
            box->layout()->setContentsMargins(10, 10, 10, 10);
    }

    // Hover repaints for the pieces that show a hover highlight.
    if (wantsHover(widget))
        widget->setAttribute(Qt::WA_Hover);

    if (widget->isWindow()) {
        QPalette pal = widget->palette();
        pal.setBrush(QPalette::Window, kWindow);
        widget->setPalette(pal);
    }
}

void ArthurStyle::unpolish(QWidget *widget)
{
    QProxyStyle::unpolish(widget);
    if (wantsHover(widget))
        widget->setAttribute(Qt::WA_Hover, false);
}

void ArthurStyle::polish(QPalette &palette)
{
    QProxyStyle::polish(palette);
    palette.setBrush(QPalette::Window, kWindow);
}

QRect ArthurStyle::subElementRect(
    SubElement element, const QStyleOption *option, const QWidget *widget) const
{
    QRect r;
    switch (element) {
    case SE_RadioButtonContents:
        r = widgetRect(option, widget);
        r.setLeft(20);
        break;
    case SE_RadioButtonClickRect:
        r = widgetRect(option, widget);
        break;
    default:
        r = QProxyStyle::subElementRect(element, option, widget);
        break;
    }
    if (qobject_cast<const QRadioButton *>(widget))
        r.adjust(5, 0, -5, 0);
    return r;
}

QRect ArthurStyle::subControlRect(ComplexControl control, const QStyleOptionComplex *option,
    SubControl subControl, const QWidget *widget) const
{
    if (control == CC_GroupBox) {
        if (const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option)) {
            switch (subControl) {
            case SC_GroupBoxLabel: {
                // The title plate: caps and stretch centred over the box,
                // ten pixels of plate on each side of the text.
                const int tw = box->fontMetrics.horizontalAdvance(box->text);
                const int capLeft = cachedPixmap(kelto::styleimages::titleCapLeft).width();
                const int capRight = cachedPixmap(kelto::styleimages::titleCapRight).width();
                const int height = cachedPixmap(kelto::styleimages::titleStretch).height();
                const int left = box->rect.center().x() - (tw + 20) / 2 + capLeft;
                return QRect(left, 0, tw + 20 - capLeft - capRight, height);
            }
            case SC_GroupBoxContents: {
                QRect r = QProxyStyle::subControlRect(control, option, subControl, widget);
                r.setTop(r.top() - 8);
                return r;
            }
            case SC_GroupBoxFrame:
                return box->rect;
            default:
                break;
            }
        }
    } else if (control == CC_Slider) {
        if (const auto *slider = qstyleoption_cast<const QStyleOptionSlider *>(option)) {
            QRect r = QProxyStyle::subControlRect(control, option, subControl, widget);
            const bool horizontal = slider->orientation == Qt::Horizontal;
            // The handle and groove follow the images' sizes.
            if (subControl == SC_SliderHandle) {
                r.setSize(horizontal ? QSize(13, 27) : QSize(27, 13));
            } else if (subControl == SC_SliderGroove) {
                if (horizontal) {
                    r.setTop(9);
                    r.setBottom(17);
                } else {
                    r.setWidth(27);
                }
            }
            return r;
        }
    }
    return QProxyStyle::subControlRect(control, option, subControl, widget);
}

int ArthurStyle::pixelMetric(
    PixelMetric metric, const QStyleOption *option, const QWidget *widget) const
{
    if (metric == PM_SliderLength)
        return 13; // the handle image's width
    return QProxyStyle::pixelMetric(metric, option, widget);
}

QSize ArthurStyle::sizeFromContents(
    ContentsType type, const QStyleOption *option, const QSize &size, const QWidget *widget) const
{
    QSize s = QProxyStyle::sizeFromContents(type, option, size, widget);
    // Heights of the button face and of the slider handle images.
    if (type == CT_PushButton)
        s.setHeight(26);
    else if (type == CT_Slider)
        s.setHeight(27);
    return s;
}
