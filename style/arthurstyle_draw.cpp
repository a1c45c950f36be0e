// The painting of the style: primitives, controls and complex controls.
#include "arthurstyle.h"

#include "styleimages.h"

#include <QGroupBox>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QStyleOption>

#include <algorithm>

namespace si = kelto::styleimages;

namespace {

QRect widgetRect(const QStyleOption *option, const QWidget *widget)
{
    return widget ? widget->rect() : option->rect;
}

bool hovered(const QStyleOption *option)
{
    return (option->state & QStyle::State_Enabled) && (option->state & QStyle::State_MouseOver);
}

// The outline of an upright pill, for the dotted hover ring of the colour
// sliders (the filled pill is drawn by drawVerticalPill).
QPainterPath verticalPillOutline(const QRect &rect)
{
    const int w = rect.width();
    QPainterPath pill;
    pill.addRect(rect.left(), rect.top() + w / 2, w, rect.height() - w);
    pill.addEllipse(rect.left(), rect.top(), w, w);
    pill.addEllipse(rect.left(), rect.bottom() + 1 - w, w, w);
    pill.setFillRule(Qt::WindingFill);
    return pill.simplified();
}

} // namespace

void ArthurStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option,
    QPainter *painter, const QWidget *widget) const
{
    switch (element) {
    case PE_Frame: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(QPen(Qt::white, 1));
        painter->setBrush(
            widget ? widget->palette().base().color() : option->palette.base().color());
        painter->drawRoundedRect(widgetRect(option, widget), 25, 25, Qt::RelativeSize);
        painter->restore();
        return;
    }
    case PE_FrameGroupBox:
        if (qstyleoption_cast<const QStyleOptionFrame *>(option)) {
            drawGroupBoxFrame(option, painter);
            return;
        }
        break;
    case PE_PanelButtonCommand:
        if (qstyleoption_cast<const QStyleOptionButton *>(option)) {
            drawButtonPanel(option, painter, widget);
            return;
        }
        break;
    case PE_PanelLineEdit:
        if (const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option)) {
            painter->save();
            painter->setRenderHint(QPainter::Antialiasing);
            painter->setPen(QPen(QColor(0, 0, 0, 255), frame->lineWidth));
            painter->setBrush(widget ? widget->palette().base() : option->palette.base());
            painter->drawRoundedRect(
                widgetRect(option, widget).adjusted(1, 1, -1, -1), 10, 25, Qt::RelativeSize);
            painter->restore();
            return;
        }
        break;
    case PE_IndicatorRadioButton: {
        painter->save();
        if (hovered(option))
            drawHoverPill(painter, widgetRect(option, widget));
        const char *image = (option->state & State_Sunken) ? si::radioPressed
            : (option->state & State_On)                   ? si::radioOn
                                                           : si::radioOff;
        painter->drawPixmap(option->rect.topLeft(), cachedPixmap(image));
        painter->restore();
        return;
    }
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void ArthurStyle::drawButtonPanel(
    const QStyleOption *option, QPainter *painter, const QWidget *widget) const
{
    const auto *button = qobject_cast<const QPushButton *>(widget);
    painter->save();

    // Inside a group box the face's rounded corners show the box's own
    // background instead of whatever lies under the box.
    if (const auto *box
        = button ? qobject_cast<const QGroupBox *>(button->parentWidget()) : nullptr) {
        QLinearGradient g(0, 0, 0, box->height());
        g.setColorAt(0, QColor(224, 224, 224, 255));
        g.setColorAt(1, QColor(255, 255, 255, 255));
        painter->setBrushOrigin(-button->pos());
        painter->fillRect(option->rect, g);
        painter->setBrushOrigin(0, 0);
    }

    const bool down = button && (option->state & (State_Sunken | State_On));
    const QPixmap left = cachedPixmap(down ? si::pressedCapLeft : si::buttonCapLeft);
    const QPixmap stretch = cachedPixmap(down ? si::pressedStretch : si::buttonStretch);
    const QPixmap right = cachedPixmap(down ? si::pressedCapRight : si::buttonCapRight);

    const QRect r = option->rect;
    painter->drawPixmap(r.topLeft(), left);
    const int middle = r.width() - left.width() - right.width();
    if (middle > 0 && !stretch.isNull())
        painter->drawTiledPixmap(
            QRect(r.left() + left.width(), r.top(), middle, left.height()), stretch);
    painter->drawPixmap(r.right() - right.width() + 1, r.top(), right);

    if (hovered(option))
        painter->fillRect(
            widgetRect(option, widget).adjusted(3, 5, -3, -5), QColor(31, 127, 31, 63));
    painter->restore();
}

void ArthurStyle::drawGroupBoxFrame(const QStyleOption *option, QPainter *painter) const
{
    const QRect r = option->rect;
    const int half = cachedPixmap(si::titleStretch).height() / 2;
    painter->save();

    QPainterPath clip;
    clip.addRoundedRect(r, 14, 14);
    painter->setClipPath(clip);
    QLinearGradient g(0, r.top() + half, 0, r.bottom());
    g.setColorAt(0, QColor(100, 100, 100, 255));
    g.setColorAt(1, QColor(255, 255, 255, 255));
    painter->setPen(Qt::NoPen);
    painter->fillRect(QRect(QPoint(r.left(), r.top() + half), r.bottomRight()), g);
    painter->setClipping(false);

    // Nine pieces: the corners, then the edges tiled between them.
    const int t = half - 2;
    const QPixmap tl = cachedPixmap(si::frameTopLeft);
    const QPixmap tr = cachedPixmap(si::frameTopRight);
    const QPixmap bl = cachedPixmap(si::frameBottomLeft);
    const QPixmap br = cachedPixmap(si::frameBottomRight);
    painter->drawPixmap(r.left(), r.top() + t, tl);
    painter->drawPixmap(r.right() - tr.width() + 1, r.top() + t, tr);
    painter->drawPixmap(r.left(), r.bottom() - bl.height() + 1, bl);
    painter->drawPixmap(r.right() - br.width() + 1, r.bottom() - br.height() + 1, br);

    const auto tile = [painter](const QRect &strip, const QPixmap &piece) {
        if (strip.width() > 0 && strip.height() > 0 && !piece.isNull())
            painter->drawTiledPixmap(strip, piece);
    };
    const QPixmap left = cachedPixmap(si::frameLeft);
    const QPixmap top = cachedPixmap(si::frameTop);
    const QPixmap right = cachedPixmap(si::frameRight);
    const QPixmap bottom = cachedPixmap(si::frameBottom);
    tile(QRect(r.left(), r.top() + t + tl.height(), left.width(),
             r.bottom() - bl.height() + 1 - (r.top() + t + tl.height())),
        left);
    tile(QRect(
             r.left() + tl.width(), r.top() + t, r.width() - tl.width() - tr.width(), top.height()),
        top);
    tile(QRect(r.right() - right.width() + 1, r.top() + t + tr.height(), right.width(),
             r.bottom() - br.height() + 1 - (r.top() + t + tr.height())),
        right);
    tile(QRect(r.left() + bl.width(), r.bottom() - bottom.height() + 1,
             r.width() - bl.width() - br.width(), bottom.height()),
        bottom);
    painter->restore();
}

void ArthurStyle::drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
    const QWidget *widget) const
{
    switch (element) {
    case CE_ProgressBarGroove:
        if (qstyleoption_cast<const QStyleOptionProgressBar *>(option)) {
            drawProgressFill(option, painter, widget);
            return;
        }
        break;
    case CE_ProgressBarContents:
        return; // the groove already shows the progress
    case CE_ProgressBarLabel:
        if (const auto *bar = qstyleoption_cast<const QStyleOptionProgressBar *>(option);
            bar && (bar->state & State_Horizontal)) {
            drawProgressLabel(option, painter, widget);
            return;
        }
        break;
    case CE_RadioButton:
        if (qstyleoption_cast<const QStyleOptionButton *>(option)) {
            drawRadioButton(option, painter, widget);
            return;
        }
        break;
    default:
        break;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

int ArthurStyle::progressFillWidth(const QStyleOption *option, const QWidget *widget)
{
    const auto *bar = qstyleoption_cast<const QStyleOptionProgressBar *>(option);
    const int whole = widgetRect(option, widget).width();
    if (!bar || bar->maximum <= 0)
        return 0; // an empty range shows no progress
    // In 64 bits: width x progress overflows int for large ranges. A value
    // outside the range (a reset bar reports minimum - 1) is clamped.
    const qint64 width = qint64(whole) * bar->progress / bar->maximum;
    return int(std::clamp<qint64>(width, 0, whole));
}

void ArthurStyle::drawProgressFill(
    const QStyleOption *option, QPainter *painter, const QWidget *widget) const
{
    const QRect whole = widgetRect(option, widget);
    const int fill = progressFillWidth(option, widget);
    if (fill == 0)
        return;

    QLinearGradient g(0, 0, whole.width(), whole.height());
    g.setColorAt(0, QColor(0, 0, 0, 255));
    g.setColorAt(1, QColor(0, 255, 0, 255));
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(g);
    painter->drawRect(QRect(0, 0, fill, whole.height()));
    painter->restore();
}

void ArthurStyle::drawProgressLabel(
    const QStyleOption *option, QPainter *painter, const QWidget *widget) const
{
    // The bars are 15 pixels high and their text runs across the end of the
    // fill: white with a dark shadow over the black-to-green fill, the
    // window text colour over the bare background beside it, so every part
    // of the text stays readable wherever the fill ends.
    const auto *bar = qstyleoption_cast<const QStyleOptionProgressBar *>(option);
    const QRect whole = widgetRect(option, widget);
    const int fill = progressFillWidth(option, widget);
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    const bool enabled = option->state & State_Enabled;

    painter->save();
    if (fill < whole.width()) {
        painter->setClipRect(QRect(fill, whole.top(), whole.width() - fill, whole.height()));
        proxy()->drawItemText(
            painter, bar->rect, flags, bar->palette, enabled, bar->text, QPalette::WindowText);
    }
    if (fill > 0) {
        painter->setClipRect(QRect(0, whole.top(), fill, whole.height()));
        QPalette onFill = bar->palette;
        onFill.setColor(QPalette::Text, QColor(0, 0, 0, 200));
        proxy()->drawItemText(
            painter, bar->rect.translated(1, 1), flags, onFill, enabled, bar->text, QPalette::Text);
        onFill.setColor(QPalette::Text, QColor(255, 255, 255, 255));
        proxy()->drawItemText(
            painter, bar->rect, flags, onFill, enabled, bar->text, QPalette::Text);
    }
    painter->restore();
}

void ArthurStyle::drawRadioButton(
    const QStyleOption *option, QPainter *painter, const QWidget *widget) const
{
    // The base style would place the indicator and the label with its own
    // rectangles; through proxy() they are this style's.
    const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
    QStyleOptionButton sub = *button;
    sub.rect = proxy()->subElementRect(SE_RadioButtonIndicator, button, widget);
    proxy()->drawPrimitive(PE_IndicatorRadioButton, &sub, painter, widget);
    sub.rect = proxy()->subElementRect(SE_RadioButtonContents, button, widget);
    proxy()->drawControl(CE_RadioButtonLabel, &sub, painter, widget);
    if (button->state & State_HasFocus) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(*button);
        focus.rect = proxy()->subElementRect(SE_RadioButtonFocusRect, button, widget);
        proxy()->drawPrimitive(PE_FrameFocusRect, &focus, painter, widget);
    }
}

void ArthurStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
    QPainter *painter, const QWidget *widget) const
{
    if (control == CC_Slider) {
        if (const auto *slider = qstyleoption_cast<const QStyleOptionSlider *>(option)) {
            if (slider->orientation == Qt::Horizontal)
                drawHorizontalSlider(option, painter, widget);
            else
                drawVerticalSlider(option, painter, widget);
            return;
        }
    } else if (control == CC_GroupBox) {
        if (qstyleoption_cast<const QStyleOptionGroupBox *>(option)) {
            drawGroupBox(option, painter, widget);
            return;
        }
    }
    QProxyStyle::drawComplexControl(control, option, painter, widget);
}

void ArthurStyle::drawHorizontalSlider(
    const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const
{
    const QRect groove = proxy()->subControlRect(CC_Slider, option, SC_SliderGroove, widget);
    const QRect handle = proxy()->subControlRect(CC_Slider, option, SC_SliderHandle, widget);
    painter->save();
    if (option->state & State_MouseOver)
        drawHoverPill(painter, widgetRect(option, widget));
    if ((option->subControls & SC_SliderGroove) && groove.isValid()) {
        const QPixmap bar = cachedPixmap(si::sliderBar);
        painter->drawPixmap(
            QRect(groove.left() + 5, groove.top(), groove.width() - 10, bar.height()), bar);
    }
    if ((option->subControls & SC_SliderHandle) && handle.isValid())
        painter->drawPixmap(handle.topLeft(), cachedPixmap(si::sliderThumb));
    painter->restore();
}

void ArthurStyle::drawVerticalSlider(
    const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const
{
    const QRect groove = proxy()->subControlRect(CC_Slider, option, SC_SliderGroove, widget);
    const QRect handle = proxy()->subControlRect(CC_Slider, option, SC_SliderHandle, widget);
    const QRect whole = widgetRect(option, widget);
    painter->save();

    if ((option->subControls & SC_SliderGroove) && groove.isValid()) {
        // The groove image is stretched to the groove's height.
        const QRect target(QPoint(groove.left() + 10, groove.top() + 5),
            QPoint(groove.left() + 19, groove.bottom() - 5));
        painter->drawPixmap(target.topLeft(), scaledPixmap(si::sliderBarVertical, target.size()));
    }

    const QString name = widget ? widget->objectName() : QString();
    const char *thumb = si::sliderThumbBlue;
    QColor tint(0, 0, 255, 128);
    if (name == QLatin1String("SliderRed")) {
        thumb = si::sliderThumbRed;
        tint = QColor(255, 0, 0, 128);
    } else if (name == QLatin1String("SliderGreen")) {
        thumb = si::sliderThumbGreen;
        tint = QColor(0, 255, 0, 128);
    }
    const bool colourSlider = name == QLatin1String("SliderRed")
        || name == QLatin1String("SliderGreen") || name == QLatin1String("SliderBlue");
    const QRect pillRect(4, whole.top(), whole.width() - 8, whole.height());
    if (colourSlider && widget && widget->property(selectedProperty).toBool())
        drawVerticalPill(painter, pillRect, tint);
    if (hovered(option)) {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        QColor ring = tint;
        ring.setAlpha(255);
        painter->setPen(QPen(ring, 1, Qt::DotLine));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(verticalPillOutline(pillRect));
        painter->restore();
    }

    if ((option->subControls & SC_SliderHandle) && handle.isValid())
        painter->drawPixmap(handle.topLeft(), cachedPixmap(thumb));
    painter->restore();
}

void ArthurStyle::drawGroupBox(
    const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const
{
    const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
    const QRect whole = widgetRect(option, widget);
    painter->save();

    // 1. The frame: a rounded, softly shaded panel.
    const QRect frame(QPoint(3, 5), QPoint(whole.width() - 5, whole.height() - 6));
    QLinearGradient g(0, frame.top(), 0, frame.bottom());
    g.setColorAt(0, QColor(128, 128, 128, 255));
    g.setColorAt(1, QColor(255, 255, 255, 128));
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(QColor(0, 0, 0, 255), 1));
    painter->setBrush(g);
    painter->drawRoundedRect(frame, 15, 5, Qt::RelativeSize);

    // 2. The title plate and its embossed white text.
    if (box->subControls & SC_GroupBoxLabel) {
        const int tw = box->fontMetrics.horizontalAdvance(box->text);
        const int centre = box->rect.center().x();
        const QRect label = proxy()->subControlRect(CC_GroupBox, option, SC_GroupBoxLabel, widget);
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->drawPixmap(centre - (tw + 20) / 2, 0, cachedPixmap(si::titleCapLeft));
        const QPixmap stretch = cachedPixmap(si::titleStretch);
        if (!stretch.isNull() && label.isValid())
            painter->drawTiledPixmap(label, stretch);
        painter->drawPixmap(label.right() + 1, 0, cachedPixmap(si::titleCapRight));

        const int align = Qt::AlignCenter;
        painter->setPen(QColor(0, 0, 0, 31));
        painter->drawText(label.translated(0, 1), align, box->text);
        painter->drawText(label.translated(2, 1), align, box->text);
        painter->setPen(QColor(0, 0, 0, 62));
        painter->drawText(label.translated(1, 1), align, box->text);
        painter->setPen(QColor(255, 255, 255, 255));
        painter->drawText(label, align, box->text);
    }
    // 3. No check box: the program's boxes are never checkable.
    painter->restore();
}
