#include "stylepieces.h"

#include "imagewriter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kelto::draw {
namespace {

const QColor kGreenDark(28, 84, 28);
const QColor kGreenMid(58, 132, 58);
const QColor kBorder(92, 108, 92);

// A whole push button face; the caller cuts it into cap, stretch and cap.
// The face varies only vertically away from the rounded ends, so every middle
// column is the same and the stretch tiles without a seam.
QImage buttonFace(int width, int height, bool pressed)
{
    QImage img = canvas(width, height);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r(0.5, 0.5, width - 1.0, height - 1.0);
    QLinearGradient g(0, 0, 0, height);
    if (pressed) {
        g.setColorAt(0.0, QColor(150, 182, 150));
        g.setColorAt(0.5, QColor(178, 206, 178));
        g.setColorAt(1.0, QColor(205, 226, 205));
    } else {
        g.setColorAt(0.0, QColor(255, 255, 255));
        g.setColorAt(0.45, QColor(236, 240, 236));
        g.setColorAt(0.55, QColor(222, 229, 222));
        g.setColorAt(1.0, QColor(200, 210, 200));
    }
    p.setPen(QPen(pressed ? kGreenDark : kBorder, 1));
    p.setBrush(g);
    p.drawRoundedRect(r, 5, 5);
    // Gloss on the raised face, an inner shadow on the pressed one.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(pressed ? QColor(120, 150, 120) : QColor(255, 255, 255));
    p.drawLine(4, 1, width - 5, 1);
    return img;
}

void buttons(ImageWriter &out)
{
    // Normal: caps 10 x 26, stretch 1 x 26.
    const QImage normal = buttonFace(21, 26, false);
    out.save("button_normal_cap_left.png", columns(normal, 0, 10));
    out.save("button_normal_stretch.png", columns(normal, 10, 1));
    out.save("button_normal_cap_right.png", columns(normal, 11, 10));
    // Pressed: caps 17 x 25, stretch 15 x 25, one pixel lower than normal.
    const QImage pressed = buttonFace(49, 25, true);
    out.save("button_pressed_cap_left.png", columns(pressed, 0, 17));
    out.save("button_pressed_stretch.png", columns(pressed, 17, 15));
    out.save("button_pressed_cap_right.png", columns(pressed, 32, 17));
}

// The group box title plate behind the white title text: caps 4 x 18 and a
// 1 x 18 stretch.
void title(ImageWriter &out)
{
    QImage img = canvas(9, 18);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 18);
    g.setColorAt(0.0, QColor(96, 164, 96));
    g.setColorAt(0.5, kGreenMid);
    g.setColorAt(1.0, kGreenDark);
    p.setPen(QPen(QColor(20, 58, 20), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, 8, 17), 3.5, 3.5);
    p.end();
    out.save("title_cap_left.png", columns(img, 0, 4));
    out.save("title_stretch.png", columns(img, 4, 1));
    out.save("title_cap_right.png", columns(img, 5, 4));
}

// A nine-piece frame of 14 x 14 corners: a rounded outline with a light
// inner line, open in the middle so the group box gradient shows through.
QImage framePiece(const QColor &line, const QColor &inner, qreal radius)
{
    QImage img = canvas(29, 29);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 40), 1));
    p.drawRoundedRect(QRectF(1.5, 1.5, 26, 26), radius, radius);
    p.setPen(QPen(line, 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, 26, 26), radius, radius);
    p.setPen(QPen(inner, 1));
    p.drawRoundedRect(QRectF(1.5, 1.5, 24, 24), radius - 1, radius - 1);
    return img;
}

void cutFrame(ImageWriter &out, const QImage &img, const QString &stem, const QString &topLeft,
    const QString &topRight, const QString &bottomLeft, const QString &bottomRight,
    const QString &top, const QString &bottom, const QString &left, const QString &right)
{
    out.save(stem + topLeft, img.copy(0, 0, 14, 14));
    out.save(stem + topRight, img.copy(15, 0, 14, 14));
    out.save(stem + bottomLeft, img.copy(0, 15, 14, 14));
    out.save(stem + bottomRight, img.copy(15, 15, 14, 14));
    out.save(stem + top, img.copy(14, 0, 1, 14));
    out.save(stem + bottom, img.copy(14, 15, 1, 14));
    out.save(stem + left, img.copy(0, 14, 14, 1));
    out.save(stem + right, img.copy(15, 14, 14, 1));
}

void frames(ImageWriter &out)
{
    cutFrame(out, framePiece(kBorder, QColor(255, 255, 255, 160), 10), "groupframe_", "topleft.png",
        "topright.png", "bottom_left.png", "bottom_right.png", "top_stretch.png",
        "bottom_stretch.png", "left_stretch.png", "right_stretch.png");
    // A plainer frame of the same build, carried for other panels.
    cutFrame(out, framePiece(QColor(60, 60, 60), QColor(255, 255, 255, 90), 4), "frame_",
        "topleft.png", "topright.png", "bottomleft.png", "bottomright.png", "top.png", "bottom.png",
        "left.png", "right.png");
}

// Radio indicators, 12 x 14: the circle sits in rows 1 to 12.
QImage radio(bool on, bool pressed)
{
    QImage img = canvas(12, 14);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 1, 0, 13);
    g.setColorAt(0.0, pressed ? QColor(170, 200, 170) : QColor(255, 255, 255));
    g.setColorAt(1.0, pressed ? QColor(215, 235, 215) : QColor(205, 212, 205));
    p.setPen(QPen(pressed ? kGreenDark : kBorder, 1));
    p.setBrush(g);
    p.drawEllipse(QRectF(0.5, 1.5, 11, 11));
    if (on || pressed) {
        QLinearGradient dot(0, 4, 0, 10);
        dot.setColorAt(0.0, QColor(110, 190, 110));
        dot.setColorAt(1.0, kGreenDark);
        p.setPen(Qt::NoPen);
        p.setBrush(dot);
        p.drawEllipse(QRectF(3, 4, 6, 6));
    }
    return img;
}

// A sunken groove, horizontal or vertical.
QImage groove(int width, int height, bool vertical)
{
    QImage img = canvas(width, height);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g
        = vertical ? QLinearGradient(1, 0, width - 1, 0) : QLinearGradient(0, 1, 0, height - 1);
    g.setColorAt(0.0, QColor(120, 130, 120));
    g.setColorAt(1.0, QColor(225, 232, 225));
    p.setPen(QPen(QColor(70, 84, 70), 1));
    p.setBrush(g);
    const QRectF r = vertical ? QRectF(1.5, 0.5, width - 3.0, height - 1.0)
                              : QRectF(0.5, 1.5, width - 1.0, height - 3.0);
    p.drawRoundedRect(r, 3, 3);
    return img;
}

// A slider handle with three grip lines across its long side.
QImage thumb(int width, int height, const QColor &tint)
{
    const bool vertical = width > height;
    QImage img = canvas(width, height);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g
        = vertical ? QLinearGradient(0, 0, 0, height) : QLinearGradient(0, 0, width, 0);
    g.setColorAt(0.0, QColor(255, 255, 255));
    g.setColorAt(0.5, tint.lighter(130));
    g.setColorAt(1.0, tint);
    p.setPen(QPen(tint.darker(200), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, width - 1.0, height - 1.0), 4, 4);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(tint.darker(220));
    for (int i = -2; i <= 2; i += 2) {
        if (vertical)
            p.drawLine(width / 2 + i, 3, width / 2 + i, height - 4);
        else
            p.drawLine(3, height / 2 + i, width - 4, height / 2 + i);
    }
    return img;
}

void sliders(ImageWriter &out)
{
    out.save("slider_bar.png", groove(107, 9, false));
    out.save("slider_bar_vertical.png", groove(10, 256, true));
    out.save("slider_bar_v.png", groove(10, 256, true));
    out.save("slider_thumb_on.png", thumb(13, 27, kGreenMid));
    out.save("slider_thumb_on_v_red.png", thumb(27, 13, QColor(200, 40, 40)));
    out.save("slider_thumb_on_v_green.png", thumb(27, 13, QColor(40, 160, 40)));
    out.save("slider_thumb_on_v_blue.png", thumb(27, 13, QColor(40, 70, 200)));
    out.save("slider_blue.png", thumb(27, 13, QColor(40, 70, 200)));
    out.save("red_slider.bmp", thumb(27, 13, QColor(200, 40, 40)));
}

} // namespace

void drawStylePieces(ImageWriter &out)
{
    buttons(out);
    title(out);
    frames(out);
    out.save("radiobutton_off.png", radio(false, false));
    out.save("radiobutton_on.png", radio(true, false));
    out.save("radiobutton-on.png", radio(true, true));
    sliders(out);
}

} // namespace kelto::draw
