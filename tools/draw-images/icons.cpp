#include "icons.h"

#include "imagewriter.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace kelto::draw {
namespace {

const QColor kGreen(40, 140, 40);
const QColor kGreenDark(20, 80, 20);
const QColor kInk(50, 56, 50);

// The maker's mark: a lamp-like disc with a "K" cut into it.
void drawMark(QPainter &p, const QRectF &r, const QColor &disc, const QColor &letter)
{
    QRadialGradient g(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
    g.setColorAt(0.0, disc.lighter(160));
    g.setColorAt(1.0, disc);
    p.setPen(QPen(disc.darker(170), 1));
    p.setBrush(g);
    p.drawEllipse(r.adjusted(0.5, 0.5, -0.5, -0.5));
    // The letter as strokes, so it looks the same whatever fonts exist.
    const qreal w = r.width();
    const qreal x = r.left() + w * 0.36;
    QPen pen(letter, w * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawLine(QPointF(x, r.top() + w * 0.25), QPointF(x, r.bottom() - w * 0.25));
    p.drawLine(QPointF(x + w * 0.30, r.top() + w * 0.25), QPointF(x + w * 0.02, r.center().y()));
    p.drawLine(QPointF(x + w * 0.02, r.center().y()), QPointF(x + w * 0.32, r.bottom() - w * 0.25));
}

QImage mark32(const QColor &disc, const QColor &letter)
{
    QImage img = canvas(32, 32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawMark(p, QRectF(1, 1, 30, 30), disc, letter);
    return img;
}

// The logo shown by the information dialog: mark, name and trade line.
QImage logoBitmap()
{
    QImage img(200, 56, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    drawMark(p, QRectF(6, 6, 44, 44), kGreen, Qt::white);
    QFont name(QStringLiteral("DejaVu Sans"));
    name.setPixelSize(26);
    name.setBold(true);
    name.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(name);
    p.setPen(kGreenDark);
    p.drawText(QRect(58, 4, 140, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KELTO"));
    QFont line(QStringLiteral("DejaVu Sans"));
    line.setPixelSize(11);
    p.setFont(line);
    p.setPen(kInk);
    p.drawText(QRect(60, 34, 140, 16), Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("lighting controls"));
    p.setPen(QPen(kGreen, 2));
    p.drawLine(QPointF(60, 35), QPointF(190, 35));
    return img;
}

QPainter *begin(QImage &img, QPainter &p)
{
    p.begin(&img);
    p.setRenderHint(QPainter::Antialiasing);
    return &p;
}

// A sheet of paper with a folded corner.
void sheet(QPainter &p, const QRectF &r, const QColor &fill)
{
    QPainterPath path;
    path.moveTo(r.topLeft());
    path.lineTo(r.right() - 7, r.top());
    path.lineTo(r.right(), r.top() + 7);
    path.lineTo(r.bottomRight());
    path.lineTo(r.bottomLeft());
    path.closeSubpath();
    p.setPen(QPen(kInk, 1));
    p.setBrush(fill);
    p.drawPath(path);
    p.drawLine(QPointF(r.right() - 7, r.top()), QPointF(r.right() - 7, r.top() + 7));
    p.drawLine(QPointF(r.right() - 7, r.top() + 7), QPointF(r.right(), r.top() + 7));
}

QImage iconNew()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    sheet(p, QRectF(6.5, 3.5, 19, 25), Qt::white);
    p.setPen(QPen(QColor(240, 200, 40), 2));
    p.drawLine(QPointF(20, 18), QPointF(26, 24));
    p.drawLine(QPointF(26, 18), QPointF(20, 24));
    return img;
}

QImage iconOpen()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(140, 100, 20), 1));
    p.setBrush(QColor(230, 190, 80));
    p.drawRect(QRectF(3.5, 8.5, 24, 18));
    p.drawRect(QRectF(3.5, 6.5, 10, 3));
    p.setBrush(QColor(250, 220, 120));
    QPolygonF front(
        {QPointF(7.5, 13.5), QPointF(29.5, 13.5), QPointF(26.5, 26.5), QPointF(3.5, 26.5)});
    p.drawPolygon(front);
    return img;
}

QImage iconSave()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(20, 30, 70), 1));
    p.setBrush(QColor(60, 90, 170));
    p.drawRoundedRect(QRectF(4.5, 4.5, 23, 23), 2, 2);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(8.5, 4.5, 15, 9));
    p.setBrush(QColor(200, 200, 210));
    p.drawRect(QRectF(10.5, 18.5, 11, 9));
    return img;
}

QImage iconCopy()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    sheet(p, QRectF(3.5, 3.5, 16, 20), QColor(235, 240, 235));
    sheet(p, QRectF(12.5, 8.5, 16, 20), Qt::white);
    return img;
}

QImage iconPaste()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(90, 60, 20), 1));
    p.setBrush(QColor(190, 140, 70));
    p.drawRoundedRect(QRectF(5.5, 5.5, 18, 23), 2, 2);
    p.setBrush(QColor(170, 170, 170));
    p.drawRoundedRect(QRectF(10.5, 3.5, 8, 5), 1, 1);
    sheet(p, QRectF(14.5, 12.5, 14, 17), Qt::white);
    return img;
}

QImage iconCut()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(120, 120, 130), 2));
    p.drawLine(QPointF(10, 4), QPointF(20, 21));
    p.drawLine(QPointF(22, 4), QPointF(12, 21));
    p.setPen(QPen(kInk, 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(6, 20, 8, 8));
    p.drawEllipse(QRectF(18, 20, 8, 8));
    return img;
}

QImage iconLetter(const QString &text, const QColor &disc)
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(disc.darker(160), 1));
    p.setBrush(disc);
    p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(20);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, text);
    return img;
}

QImage iconPlay()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(kGreenDark, 1));
    p.setBrush(kGreen);
    p.drawPolygon(QPolygonF({QPointF(9, 5), QPointF(27, 16), QPointF(9, 27)}));
    return img;
}

QImage iconStop()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(110, 20, 20), 1));
    p.setBrush(QColor(200, 40, 40));
    p.drawRoundedRect(QRectF(7.5, 7.5, 17, 17), 2, 2);
    return img;
}

// A chip with an arrow in (read) or out (write).
QImage iconTransfer(bool in)
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(kInk, 1));
    p.setBrush(QColor(70, 70, 80));
    p.drawRect(QRectF(12.5, 8.5, 15, 15));
    for (int y = 10; y <= 22; y += 4) {
        p.drawLine(QPointF(10, y + 0.5), QPointF(12, y + 0.5));
        p.drawLine(QPointF(28, y + 0.5), QPointF(30, y + 0.5));
    }
    const QColor arrow = in ? QColor(40, 90, 200) : QColor(200, 120, 20);
    p.setPen(QPen(arrow, 3, Qt::SolidLine, Qt::RoundCap));
    if (in) {
        p.drawLine(QPointF(3, 16), QPointF(17, 16));
        p.drawLine(QPointF(17, 16), QPointF(12, 11));
        p.drawLine(QPointF(17, 16), QPointF(12, 21));
    } else {
        p.drawLine(QPointF(18, 16), QPointF(4, 16));
        p.drawLine(QPointF(4, 16), QPointF(9, 11));
        p.drawLine(QPointF(4, 16), QPointF(9, 21));
    }
    return img;
}

// Two arrows chasing each other round a circle.
QImage iconSynchro(const QColor &colour)
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(colour, 3, Qt::SolidLine, Qt::FlatCap));
    p.setBrush(Qt::NoBrush);
    const QRectF ring(6, 6, 20, 20);
    p.drawArc(ring, 20 * 16, 140 * 16);
    p.drawArc(ring, 200 * 16, 140 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({QPointF(4, 12), QPointF(10, 13), QPointF(6, 18)}));
    p.drawPolygon(QPolygonF({QPointF(28, 20), QPointF(22, 19), QPointF(26, 14)}));
    return img;
}

// A lamp switched off.
QImage iconBlackout()
{
    QImage img = canvas(32, 32);
    QPainter p;
    begin(img, p);
    p.setPen(QPen(QColor(10, 10, 10), 1));
    p.setBrush(QColor(40, 40, 44));
    p.drawEllipse(QRectF(7.5, 3.5, 17, 17));
    p.setBrush(QColor(120, 120, 120));
    p.drawRect(QRectF(12.5, 20.5, 7, 7));
    p.setPen(QPen(QColor(200, 40, 40), 2));
    p.drawLine(QPointF(4, 28), QPointF(28, 4));
    return img;
}

// The USB trident in green.
QImage iconUsb()
{
    QImage img = canvas(64, 64);
    QPainter p;
    begin(img, p);
    const QColor c(30, 150, 50);
    p.setPen(QPen(c, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(32, 10), QPointF(32, 50));
    p.drawPolyline(QPolygonF({QPointF(32, 42), QPointF(18, 30), QPointF(18, 22)}));
    p.drawPolyline(QPolygonF({QPointF(32, 36), QPointF(46, 26), QPointF(46, 20)}));
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(QPolygonF({QPointF(32, 2), QPointF(39, 12), QPointF(25, 12)}));
    p.drawEllipse(QPointF(32, 54), 6, 6);
    p.drawEllipse(QPointF(18, 19), 4, 4);
    p.drawRect(QRectF(42, 14, 8, 8));
    return img;
}

// A sample of a pen style on a 48 x 12 strip.
QImage lineSample(Qt::PenStyle style)
{
    QImage img = canvas(48, 12);
    QPainter p(&img);
    p.setPen(QPen(Qt::black, 2, style, Qt::FlatCap));
    p.drawLine(QPointF(2, 6), QPointF(46, 6));
    return img;
}

} // namespace

void drawLogos(ImageWriter &out)
{
    out.save("kelto_logo.bmp", logoBitmap());
    out.save("kelto_logo_32.png", programIcon());
    out.save("kelto_logo_32_grey.png", mark32(QColor(128, 132, 128), Qt::white));
    out.save("kelto_logo_32_white.png", mark32(QColor(246, 248, 246), QColor(40, 140, 40)));
    out.save("kelto_logo_32_dark.png", mark32(QColor(30, 36, 30), QColor(120, 220, 120)));
}

void drawIcons(ImageWriter &out)
{
    out.save("USB green 64x64.png", iconUsb());
    out.save("blackout.png", iconBlackout());
    out.save("copy.png", iconCopy());
    out.save("cut.png", iconCut());
    out.save("help.png", iconLetter(QStringLiteral("?"), QColor(40, 90, 200)));
    out.save("info.png", iconLetter(QStringLiteral("i"), QColor(40, 140, 40)));
    out.save("line_dash_dot.png", lineSample(Qt::DashDotLine));
    out.save("line_dash_dot_dot.png", lineSample(Qt::DashDotDotLine));
    out.save("line_dashed.png", lineSample(Qt::DashLine));
    out.save("line_dotted.png", lineSample(Qt::DotLine));
    out.save("line_solid.png", lineSample(Qt::SolidLine));
    out.save("new.png", iconNew());
    out.save("open.png", iconOpen());
    out.save("paste.png", iconPaste());
    out.save("player_play.png", iconPlay());
    out.save("player_stop.png", iconStop());
    out.save("read.png", iconTransfer(true));
    out.save("save.png", iconSave());
    out.save("synchro_green.png", iconSynchro(QColor(30, 150, 50)));
    out.save("synchro_red.png", iconSynchro(QColor(200, 40, 40)));
    out.save("write.png", iconTransfer(false));
}

QImage programIcon()
{
    return mark32(kGreen, Qt::white);
}

} // namespace kelto::draw
