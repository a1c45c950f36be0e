#ifndef KELTO_STYLE_ARTHURSTYLE_H
#define KELTO_STYLE_ARTHURSTYLE_H

#include <QProxyStyle>

class QColor;
class QPixmap;

// The program's image-based widget style, over Qt's "Windows" style: group
// boxes, push buttons, radio buttons, sliders, line edits, frames and
// progress bars are painted from the compiled-in images, soft gradients and
// rounded shapes, with a light green hover highlight. Everything else is the
// base style's.
//
// The vertical sliders named "SliderRed", "SliderGreen" and "SliderBlue" show
// a tinted pill when they carry the dynamic property "selected" set to true
// (the colour editor marks its current channel that way; a plain QSlider has
// no such property and never shows the pill).
class ArthurStyle : public QProxyStyle
{
    Q_OBJECT

public:
    ArthurStyle();

    using QProxyStyle::polish;
    using QProxyStyle::unpolish;

    void polish(QWidget *widget) override;
    void unpolish(QWidget *widget) override;
    void polish(QPalette &palette) override;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
        const QWidget *widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
        const QWidget *widget = nullptr) const override;
    QRect subElementRect(SubElement element, const QStyleOption *option,
        const QWidget *widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
        QPainter *painter, const QWidget *widget = nullptr) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex *option,
        SubControl subControl, const QWidget *widget = nullptr) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
        const QWidget *widget = nullptr) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
        const QWidget *widget = nullptr) const override;

    // The dynamic property that marks a colour slider as the selected one.
    static constexpr const char *selectedProperty = "selected";

protected:
    // The image at a resource path, decoded once and then served from
    // QPixmapCache; a null pixmap (missing image) is returned but never cached.
    static QPixmap cachedPixmap(const QString &path);
    // The image at path stretched to size (nearest pixel), cached per size
    // like cachedPixmap: painting it then needs no scaling at all.
    static QPixmap scaledPixmap(const QString &path, const QSize &size);
    // A horizontal pill (the hover highlight) filling rect.
    static void drawHoverPill(QPainter *painter, const QRect &rect);
    // An upright pill filling rect, fading from color to translucent white.
    static void drawVerticalPill(QPainter *painter, const QRect &rect, const QColor &color);

private:
    void drawButtonPanel(
        const QStyleOption *option, QPainter *painter, const QWidget *widget) const;
    void drawGroupBoxFrame(const QStyleOption *option, QPainter *painter) const;
    static int progressFillWidth(const QStyleOption *option, const QWidget *widget);
    void drawProgressFill(
        const QStyleOption *option, QPainter *painter, const QWidget *widget) const;
    void drawProgressLabel(
        const QStyleOption *option, QPainter *painter, const QWidget *widget) const;
    void drawRadioButton(
        const QStyleOption *option, QPainter *painter, const QWidget *widget) const;
    void drawHorizontalSlider(
        const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const;
    void drawVerticalSlider(
        const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const;
    void drawGroupBox(
        const QStyleOptionComplex *option, QPainter *painter, const QWidget *widget) const;
};

#endif
