// What the style actually paints, checked on grabbed widgets (offscreen).
#include "arthurstyle.h"
#include "resources.h"

#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPixmapCache>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyleOption>
#include <QTest>

#include <climits>

int qCleanupResources_kelto();

namespace {

// The slider's own style option, as its paint event builds it.
class OptionSlider : public QSlider
{
public:
    using QSlider::QSlider;
    QStyleOptionSlider option() const
    {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return opt;
    }
};

const QColor kWindow(241, 241, 241);

// The widget as painted. With SHOTS=<folder> every grab is also saved there,
// to look at what the style draws.
QImage shot(QWidget &w)
{
    QImage img = w.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    static int n = 0;
    if (qEnvironmentVariableIsSet("SHOTS"))
        img.save(QString("%1/%2_%3.png")
                     .arg(qgetenv("SHOTS").constData())
                     .arg(n++)
                     .arg(QTest::currentDataTag()));
    return img;
}

QImage resourceImage(const char *name)
{
    return QImage(QStringLiteral(":res/images/") + QLatin1String(name))
        .convertToFormat(QImage::Format_ARGB32);
}

bool near(QRgb a, QRgb b, int tolerance = 2)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

QString rgb(QRgb c)
{
    return QString("(%1, %2, %3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

// The colour c painted with alpha a over the opaque colour under.
QRgb over(QRgb under, QColor c)
{
    const double a = c.alphaF();
    return qRgb(int(c.red() * a + qRed(under) * (1 - a) + 0.5),
        int(c.green() * a + qGreen(under) * (1 - a) + 0.5),
        int(c.blue() * a + qBlue(under) * (1 - a) + 0.5));
}

// Every opaque pixel of piece must appear unchanged at offset in img; the
// piece is repeated horizontally over width columns (width 0: once).
bool showsPiece(const QImage &img, const QImage &piece, QPoint offset, int width, QString *why)
{
    const int columns = width > 0 ? width : piece.width();
    int compared = 0;
    for (int y = 0; y < piece.height(); ++y) {
        for (int x = 0; x < columns; ++x) {
            const QRgb want = piece.pixel(x % piece.width(), y);
            if (qAlpha(want) != 255)
                continue;
            ++compared;
            const QRgb got = img.pixel(offset.x() + x, offset.y() + y);
            if (!near(got, want)) {
                *why = QString("at (%1, %2): %3, image has %4")
                           .arg(offset.x() + x)
                           .arg(offset.y() + y)
                           .arg(rgb(got), rgb(want));
                return false;
            }
        }
    }
    if (compared == 0) {
        *why = "no opaque pixel to compare";
        return false;
    }
    return true;
}

} // namespace

class TestStylePaint : public QObject
{
    Q_OBJECT

private slots:
    void init() { QPixmapCache::clear(); }
    void progressFill_data();
    void progressFill();
    void progressTextStaysReadable_data();
    void progressTextStaysReadable();
    void buttonPieces_data();
    void buttonPieces();
    void buttonHover_data();
    void buttonHover();
    void buttonUnderlay_data();
    void buttonUnderlay();
    void groupBoxTitleAndFrame();
    void ninePieceFrame();
    void horizontalSlider_data();
    void horizontalSlider();
    void colourSliders_data();
    void colourSliders();
    void radioIndicator_data();
    void radioIndicator();
    void lineEditPanel();
    void styledFrame();
    void missingImagesDrawNothing();
};

void TestStylePaint::progressFill_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("fill");
    QTest::newRow("0 %") << 100 << 0 << 0;
    QTest::newRow("50 %") << 100 << 50 << 100;
    QTest::newRow("33 of 99") << 99 << 33 << 66;
    QTest::newRow("100 %") << 100 << 100 << 200;
    QTest::newRow("maximum 0") << 0 << 0 << 0;
    QTest::newRow("reset") << 100 << -1 << 0;
    QTest::newRow("huge range, full") << INT_MAX << INT_MAX << 200;
    QTest::newRow("huge range, half") << INT_MAX << INT_MAX / 2 << 99;
}

void TestStylePaint::progressFill()
{
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(int, fill);
    ArthurStyle style;
    QProgressBar bar;
    bar.setStyle(&style);
    bar.setTextVisible(false);
    bar.setRange(0, maximum);
    if (value < 0)
        bar.reset();
    else
        bar.setValue(value);
    bar.resize(200, 15);
    const QImage img = shot(bar);

    for (int y : {0, 7, 14}) {
        int lastGreen = -1;
        for (int x = 0; x < 200; ++x) {
            const QRgb c = img.pixel(x, y);
            if (x < fill) {
                // Black to green, nothing else, brighter to the right.
                QVERIFY2(qRed(c) == 0 && qBlue(c) == 0, qPrintable(QString::number(x) + rgb(c)));
                QVERIFY2(qGreen(c) >= lastGreen, qPrintable(QString::number(x)));
                lastGreen = qGreen(c);
            } else {
                QVERIFY2(c == kWindow.rgb(), qPrintable(QString("x %1: %2").arg(x).arg(rgb(c))));
            }
        }
    }
    if (fill == 200) {
        // The gradient spans the whole widget: black at the left, green at
        // the right.
        QVERIFY(qGreen(img.pixel(0, 0)) < 10);
        QVERIFY(qGreen(img.pixel(199, 14)) > 245);
    }
}

void TestStylePaint::progressTextStaysReadable_data()
{
    QTest::addColumn<int>("value");
    for (int v : {0, 30, 45, 49, 50, 60, 100})
        QTest::newRow(qPrintable(QString("%1 %").arg(v))) << v;
}

void TestStylePaint::progressTextStaysReadable()
{
    QFETCH(int, value);
    ArthurStyle style;
    QProgressBar bar;
    bar.setStyle(&style);
    bar.setRange(0, 100);
    bar.setFormat("External flash write %p%");
    bar.setAlignment(Qt::AlignJustify | Qt::AlignVCenter);
    bar.resize(300, 15);
    bar.setValue(value);
    const QImage withText = shot(bar);
    bar.setTextVisible(false);
    const QImage without = shot(bar);

    // Readable means: in every few columns that the text touches, some
    // pixel of it stands out clearly from what lies beneath it, whether the
    // fill or the bare background is under that part of the text.
    QList<int> best; // per touched band of 4 columns
    QList<int> start;
    for (int x0 = 0; x0 < 300; x0 += 4) {
        bool touched = false;
        int most = 0;
        for (int x = x0; x < x0 + 4; ++x) {
            for (int y = 0; y < 15; ++y) {
                const QRgb t = withText.pixel(x, y);
                const QRgb b = without.pixel(x, y);
                touched = touched || t != b;
                most = qMax(most, qAbs(qGray(t) - qGray(b)));
            }
        }
        if (touched) {
            best << most;
            start << x0;
        }
    }
    QVERIFY2(best.size() > 20, qPrintable(QString::number(best.size())));
    // A band may hold only the soft edge of a glyph next to a space, but
    // two weak bands in a row mean a piece of text that cannot be read.
    QStringList weak;
    for (int i = 0; i + 1 < best.size(); ++i)
        if (best[i] < 100 && best[i + 1] < 100 && start[i + 1] == start[i] + 4)
            weak << QString("x %1: %2, %3").arg(start[i]).arg(best[i]).arg(best[i + 1]);
    QVERIFY2(weak.isEmpty(), qPrintable(weak.join("; ")));
}

void TestStylePaint::buttonPieces_data()
{
    QTest::addColumn<bool>("down");
    QTest::addColumn<int>("width");
    QTest::newRow("normal") << false << 120;
    QTest::newRow("normal, odd width") << false << 77;
    QTest::newRow("pressed") << true << 120;
    QTest::newRow("pressed, partial tile") << true << 81;
}

void TestStylePaint::buttonPieces()
{
    QFETCH(bool, down);
    QFETCH(int, width);
    ArthurStyle style;
    QPushButton button;
    button.setStyle(&style);
    button.resize(width, 26);
    button.setDown(down);
    const QImage img = shot(button);

    const QImage left
        = resourceImage(down ? "button_pressed_cap_left.png" : "button_normal_cap_left.png");
    const QImage stretch
        = resourceImage(down ? "button_pressed_stretch.png" : "button_normal_stretch.png");
    const QImage right
        = resourceImage(down ? "button_pressed_cap_right.png" : "button_normal_cap_right.png");
    QString why;
    QVERIFY2(showsPiece(img, left, QPoint(0, 0), 0, &why), qPrintable("left cap " + why));
    QVERIFY2(showsPiece(
                 img, stretch, QPoint(left.width(), 0), width - left.width() - right.width(), &why),
        qPrintable("stretch " + why));
    QVERIFY2(showsPiece(img, right, QPoint(width - right.width(), 0), 0, &why),
        qPrintable("right cap " + why));
}

void TestStylePaint::buttonHover_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::newRow("enabled") << true;
    QTest::newRow("disabled") << false;
}

void TestStylePaint::buttonHover()
{
    QFETCH(bool, enabled);
    ArthurStyle style;
    QPushButton button;
    button.setStyle(&style);
    button.setEnabled(enabled);
    button.resize(100, 26);
    const QImage plain = shot(button);
    button.setAttribute(Qt::WA_UnderMouse, true);
    const QImage hover = shot(button);

    const QColor tint(31, 127, 31, 63);
    for (int y = 0; y < 26; ++y) {
        for (int x = 0; x < 100; ++x) {
            const bool inside = enabled && x >= 3 && x < 97 && y >= 5 && y < 21;
            const QRgb want = inside ? over(plain.pixel(x, y), tint) : plain.pixel(x, y);
            QVERIFY2(near(hover.pixel(x, y), want),
                qPrintable(QString("(%1, %2): %3, expected %4")
                               .arg(x)
                               .arg(y)
                               .arg(rgb(hover.pixel(x, y)), rgb(want))));
        }
    }
}

void TestStylePaint::buttonUnderlay_data()
{
    QTest::addColumn<bool>("inGroupBox");
    QTest::newRow("in a group box") << true;
    QTest::newRow("in a plain widget") << false;
}

void TestStylePaint::buttonUnderlay()
{
    QFETCH(bool, inGroupBox);
    ArthurStyle style;
    QWidget plain;
    QGroupBox box;
    QWidget *parent = inGroupBox ? static_cast<QWidget *>(&box) : &plain;
    parent->resize(200, 100);
    QPalette pal = parent->palette();
    pal.setColor(QPalette::Window, QColor(255, 0, 255));
    parent->setPalette(pal);
    auto *button = new QPushButton(parent);
    button->setStyle(&style);
    button->setGeometry(20, 40, 100, 26);
    const QImage img = shot(*button);

    // The button face's rounded corners are transparent: they show the
    // underlay, if any, or the parent's background.
    const QImage cap = resourceImage("button_normal_cap_left.png");
    QCOMPARE(qAlpha(cap.pixel(0, 0)), 0);
    for (int y : {0, 25}) {
        const QRgb c = img.pixel(0, y);
        if (inGroupBox) {
            // The box's gradient from (224, 224, 224) at its top to white at
            // its bottom, at the button's height in the box.
            const int want = 224 + 31 * (40 + y) / 100;
            QVERIFY2(near(c, qRgb(want, want, want), 3), qPrintable(rgb(c)));
        } else {
            QCOMPARE(c, qRgb(255, 0, 255));
        }
    }
}

void TestStylePaint::groupBoxTitleAndFrame()
{
    ArthurStyle style;
    QGroupBox box("Firmware");
    box.setStyle(&style);
    box.resize(200, 100);
    const QImage img = shot(box);

    QStyleOptionGroupBox opt;
    opt.initFrom(&box);
    opt.text = box.title();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = style.subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel);
    const QImage capLeft = resourceImage("title_cap_left.png");
    const QImage capRight = resourceImage("title_cap_right.png");
    QString why;
    QVERIFY2(showsPiece(img, capLeft, QPoint(label.left() - 4, 0), 0, &why), qPrintable(why));
    QVERIFY2(showsPiece(img, capRight, QPoint(label.right() + 1, 0), 0, &why), qPrintable(why));

    // White title text on the plate.
    int white = 0;
    for (int y = label.top(); y <= label.bottom(); ++y)
        for (int x = label.left(); x <= label.right(); ++x)
            white += qGray(img.pixel(x, y)) > 230 ? 1 : 0;
    QVERIFY2(white > 10, qPrintable(QString::number(white)));

    // The frame: background left of x = 3, a black outline, then the
    // shaded panel growing lighter downwards.
    QCOMPARE(img.pixel(1, 50), kWindow.rgb());
    QVERIFY(qGray(img.pixel(3, 50)) < 100);
    QVERIFY(qGray(img.pixel(100, 30)) < qGray(img.pixel(100, 85)));
    QVERIFY(qGray(img.pixel(100, 30)) < 200);
}

void TestStylePaint::ninePieceFrame()
{
    ArthurStyle style;
    QImage img(120, 80, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QStyleOptionFrame opt;
    opt.rect = img.rect();
    {
        QPainter p(&img);
        style.drawPrimitive(QStyle::PE_FrameGroupBox, &opt, &p);
    }
    // Corners start half the title height (9) less 2 below the top.
    QString why;
    QVERIFY2(showsPiece(img, resourceImage("groupframe_topleft.png"), QPoint(0, 7), 0, &why),
        qPrintable(why));
    QVERIFY2(showsPiece(img, resourceImage("groupframe_topright.png"), QPoint(106, 7), 0, &why),
        qPrintable(why));
    QVERIFY2(showsPiece(img, resourceImage("groupframe_bottom_left.png"), QPoint(0, 66), 0, &why),
        qPrintable(why));
    QVERIFY2(
        showsPiece(img, resourceImage("groupframe_bottom_right.png"), QPoint(106, 66), 0, &why),
        qPrintable(why));
    // The edges run between the corners without a gap.
    const QImage top = resourceImage("groupframe_top_stretch.png");
    const QImage left = resourceImage("groupframe_left_stretch.png");
    QVERIFY2(showsPiece(img, top, QPoint(14, 7), 120 - 28, &why), qPrintable(why));
    for (int y = 21; y < 66; ++y)
        QVERIFY2(showsPiece(img, left, QPoint(0, y), 0, &why), qPrintable(why));
    // Above the gradient nothing; inside it darker at the top.
    QCOMPARE(qAlpha(img.pixel(60, 2)), 0);
    QVERIFY(qGray(img.pixel(60, 25)) < qGray(img.pixel(60, 60)));
}

void TestStylePaint::horizontalSlider_data()
{
    QTest::addColumn<bool>("hover");
    QTest::newRow("plain") << false;
    QTest::newRow("under the mouse") << true;
}

void TestStylePaint::horizontalSlider()
{
    QFETCH(bool, hover);
    ArthurStyle style;
    OptionSlider slider(Qt::Horizontal);
    slider.setStyle(&style);
    slider.setRange(0, 100);
    slider.setValue(50);
    slider.resize(160, 27);
    slider.setAttribute(Qt::WA_UnderMouse, hover);
    const QImage img = shot(slider);

    const QStyleOptionSlider opt = slider.option();
    const QRect handle = style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle);
    QString why;
    QVERIFY2(showsPiece(img, resourceImage("slider_thumb_on.png"), handle.topLeft(), 0, &why),
        qPrintable("thumb " + why));
    // The groove image, rows 9 to 17, between the ends of the groove.
    const QImage bar = resourceImage("slider_bar.png");
    QVERIFY2(near(img.pixel(20, 13), bar.pixel(bar.width() / 2, 4), 3),
        qPrintable(rgb(img.pixel(20, 13))));
    // Above the groove: the hover pill or the background.
    const QRgb above = img.pixel(30, 3);
    QCOMPARE(above, hover ? qRgb(191, 215, 191) : kWindow.rgb());
}

void TestStylePaint::colourSliders_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("tint");
    QTest::addColumn<QString>("thumb");
    QTest::newRow("red, selected") << "SliderRed" << true << "red"
                                   << "slider_thumb_on_v_red.png";
    QTest::newRow("red, not selected") << "SliderRed" << false << ""
                                       << "slider_thumb_on_v_red.png";
    QTest::newRow("green, selected") << "SliderGreen" << true << "green"
                                     << "slider_thumb_on_v_green.png";
    QTest::newRow("blue, selected") << "SliderBlue" << true << "blue"
                                    << "slider_thumb_on_v_blue.png";
    QTest::newRow("plain slider never shows the pill") << "verticalSlider" << true << ""
                                                       << "slider_thumb_on_v_blue.png";
}

void TestStylePaint::colourSliders()
{
    QFETCH(QString, name);
    QFETCH(bool, selected);
    QFETCH(QString, tint);
    QFETCH(QString, thumb);
    ArthurStyle style;
    OptionSlider slider(Qt::Vertical);
    slider.setObjectName(name);
    slider.setStyle(&style);
    slider.setRange(0, 255);
    slider.setValue(0);
    slider.resize(40, 200);
    slider.setProperty(ArthurStyle::selectedProperty, selected);
    const QImage img = shot(slider);

    // Left of the groove, halfway down: the pill, fading towards white.
    const QRgb c = img.pixel(6, 100);
    if (tint.isEmpty()) {
        QCOMPARE(c, kWindow.rgb());
    } else {
        const int r = qRed(c), g = qGreen(c), b = qBlue(c);
        if (tint == "red")
            QVERIFY2(r > g + 30 && r > b + 30, qPrintable(rgb(c)));
        else if (tint == "green")
            QVERIFY2(g > r + 30 && g > b + 30, qPrintable(rgb(c)));
        else
            QVERIFY2(b > r + 30 && b > g + 30, qPrintable(rgb(c)));
    }

    const QStyleOptionSlider opt = slider.option();
    QVERIFY(opt.rect.bottom()
            - style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle).bottom()
        < 10);
    const QRect handle = style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle);
    QString why;
    QVERIFY2(showsPiece(img, resourceImage(qPrintable(thumb)), handle.topLeft(), 0, &why),
        qPrintable(why));

    // The groove image, stretched into columns 10 to 19 of the groove and
    // its height less 5 at both ends: its middle row shows halfway down
    // (under the pill, when there is one, which is painted over it).
    const QRect groove = style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove);
    const QImage bar = resourceImage("slider_bar_vertical.png");
    const int top = groove.top() + 5;
    const int height = groove.bottom() - 5 - top + 1;
    for (int x = 0; x < 10; ++x) {
        const QRgb want = bar.pixel(x, bar.height() / 2);
        if (qAlpha(want) == 255 && tint.isEmpty())
            QVERIFY2(near(img.pixel(groove.left() + 10 + x, top + height / 2), want),
                qPrintable(QString::number(x)));
    }
    // Right of the groove image: only the background (or the pill).
    if (tint.isEmpty())
        QCOMPARE(img.pixel(groove.left() + 20, top + height / 2), kWindow.rgb());
}

void TestStylePaint::radioIndicator_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("down");
    QTest::addColumn<QString>("image");
    QTest::newRow("off") << false << false << "radiobutton_off.png";
    QTest::newRow("on") << true << false << "radiobutton_on.png";
    QTest::newRow("pressed") << false << true << "radiobutton-on.png";
    QTest::newRow("pressed while on") << true << true << "radiobutton-on.png";
}

void TestStylePaint::radioIndicator()
{
    QFETCH(bool, checked);
    QFETCH(bool, down);
    QFETCH(QString, image);
    ArthurStyle style;
    QRadioButton radio;
    radio.setStyle(&style);
    radio.setChecked(checked);
    radio.setDown(down);
    radio.resize(120, 20);
    const QImage img = shot(radio);
    QStyleOptionButton opt;
    opt.initFrom(&radio);
    const QRect indicator = style.subElementRect(QStyle::SE_RadioButtonIndicator, &opt, &radio);
    QString why;
    QVERIFY2(showsPiece(img, resourceImage(qPrintable(image)), indicator.topLeft(), 0, &why),
        qPrintable(why));
}

void TestStylePaint::lineEditPanel()
{
    ArthurStyle style;
    QLineEdit edit;
    edit.setStyle(&style);
    edit.resize(120, 24);
    const QImage img = shot(edit);
    // A black rounded outline inset by one, the base colour inside, the
    // background outside the rounded corners.
    QVERIFY2(qGray(img.pixel(60, 1)) < 60, qPrintable(rgb(img.pixel(60, 1))));
    QCOMPARE(img.pixel(60, 12), edit.palette().base().color().rgb());
    QCOMPARE(img.pixel(0, 0), kWindow.rgb());
}

void TestStylePaint::styledFrame()
{
    ArthurStyle style;
    QFrame frame;
    frame.setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    frame.setStyle(&style);
    QPalette pal = frame.palette();
    pal.setColor(QPalette::Base, QColor(10, 20, 200));
    frame.setPalette(pal);
    frame.resize(200, 100);
    const QImage img = shot(frame);
    // A rounded panel in the base colour with a white outline; the corners
    // (radii a quarter of the half width and height) show the background.
    QCOMPARE(img.pixel(0, 0), kWindow.rgb());
    QCOMPARE(img.pixel(100, 50), qRgb(10, 20, 200));
    // The 1-pixel pen straddles the edge: half of it lightens the top row.
    QVERIFY2(qGray(img.pixel(100, 0)) > qGray(qRgb(10, 20, 200)) + 60,
        qPrintable(rgb(img.pixel(100, 0))));
    QCOMPARE(img.pixel(2, 2), kWindow.rgb());
    QVERIFY(img.pixel(8, 8) != kWindow.rgb()); // inside the rounding
}

void TestStylePaint::missingImagesDrawNothing()
{
    ArthurStyle style;
    QPushButton button;
    button.setStyle(&style);
    button.resize(100, 26);
    button.setAttribute(Qt::WA_UnderMouse, true);

    // Without the collection every piece is a null pixmap: nothing of the
    // face is drawn, nothing is cached, and the hover tint still is.
    QCOMPARE(qCleanupResources_kelto(), 1);
    QPixmapCache::clear();
    const QImage bare = shot(button);
    QPixmap cached;
    QVERIFY(!QPixmapCache::find(":res/images/button_normal_stretch.png", &cached));
    QCOMPARE(bare.pixel(1, 13), kWindow.rgb());
    const QRgb tinted = over(kWindow.rgb(), QColor(31, 127, 31, 63));
    QVERIFY2(near(bare.pixel(50, 13), tinted), qPrintable(rgb(bare.pixel(50, 13))));

    // Registered again, the same button shows its face.
    kelto::registerResources();
    const QImage face = shot(button);
    QVERIFY(face.pixel(1, 13) != kWindow.rgb());
}

QTEST_MAIN(TestStylePaint)
#include "tst_style_paint.moc"
