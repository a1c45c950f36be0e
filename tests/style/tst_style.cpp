// Polishing, metrics and geometry of the style, and its image cache.
#include "arthurstyle.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPixmapCache>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

namespace {

// Opens the protected image cache to the tests.
class ExposedStyle : public ArthurStyle
{
public:
    using ArthurStyle::cachedPixmap;
};

const QColor kWindow(241, 241, 241);

} // namespace

class TestStyle : public QObject
{
    Q_OBJECT

private slots:
    void baseIsWindowsStyle();
    void windowPaletteOnWindowsOnly();
    void paletteRoleForAllGroups();
    void hoverAttribute_data();
    void hoverAttribute();
    void groupBoxLayouts_data();
    void groupBoxLayouts();
    void metrics_data();
    void metrics();
    void contentSizes_data();
    void contentSizes();
    void sliderGeometry_data();
    void sliderGeometry();
    void groupBoxGeometry_data();
    void groupBoxGeometry();
    void radioButtonRects();
    void cache_data();
    void cache();
};

void TestStyle::baseIsWindowsStyle()
{
    ArthurStyle style;
    QVERIFY(style.baseStyle());
    QCOMPARE(style.baseStyle()->name().toLower(), QString("windows"));
    // The base style calls back through the proxy, so the overrides reach
    // everything the base style draws on the style's behalf.
    QCOMPARE(style.baseStyle()->proxy(), &style);
}

void TestStyle::windowPaletteOnWindowsOnly()
{
    ArthurStyle style;
    QWidget window;
    QPalette custom = window.palette();
    custom.setColor(QPalette::Window, Qt::red);
    auto *child = new QLabel(&window);
    child->setPalette(custom);
    const QPalette before = child->palette();

    style.polish(&window);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        QCOMPARE(window.palette().color(group, QPalette::Window), kWindow);

    style.polish(child);
    QCOMPARE(child->palette(), before);
    QCOMPARE(child->palette().color(QPalette::Window), QColor(Qt::red));

    // A plain child without a palette of its own is not given one either.
    auto *plain = new QLabel(&window);
    style.polish(plain);
    QVERIFY(!plain->testAttribute(Qt::WA_SetPalette));
}

void TestStyle::paletteRoleForAllGroups()
{
    ArthurStyle style;
    QPalette palette(Qt::blue);
    style.polish(palette);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QCOMPARE(palette.color(group, QPalette::Window), kWindow);
        QCOMPARE(palette.brush(group, QPalette::Window).style(), Qt::SolidPattern);
    }
    // Other roles are left to the base style.
    QCOMPARE(palette.color(QPalette::Active, QPalette::Button), QColor(Qt::blue));
}

void TestStyle::hoverAttribute_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("hover");
    QTest::newRow("push button") << "QPushButton" << true;
    QTest::newRow("radio button") << "QRadioButton" << true;
    QTest::newRow("slider") << "QSlider" << true;
    QTest::newRow("label") << "QLabel" << false;
    QTest::newRow("line edit") << "QLineEdit" << false;
}

void TestStyle::hoverAttribute()
{
    QFETCH(QString, kind);
    QFETCH(bool, hover);
    std::unique_ptr<QWidget> w;
    if (kind == "QPushButton")
        w = std::make_unique<QPushButton>();
    else if (kind == "QRadioButton")
        w = std::make_unique<QRadioButton>();
    else if (kind == "QSlider")
        w = std::make_unique<QSlider>();
    else if (kind == "QLabel")
        w = std::make_unique<QLabel>();
    else
        w = std::make_unique<QLineEdit>();
    ArthurStyle style;
    w->setAttribute(Qt::WA_Hover, false);
    style.polish(w.get());
    QCOMPARE(w->testAttribute(Qt::WA_Hover), hover);
    w->setAttribute(Qt::WA_Hover, true);
    style.unpolish(w.get());
    // unpolish takes back only what polish gave.
    QCOMPARE(w->testAttribute(Qt::WA_Hover), !hover);
}

void TestStyle::groupBoxLayouts_data()
{
    QTest::addColumn<bool>("nested");
    QTest::addColumn<bool>("withLayout");
    QTest::newRow("leaf") << false << true;
    QTest::newRow("holds another box") << true << true;
    QTest::newRow("no layout") << false << false;
}

void TestStyle::groupBoxLayouts()
{
    QFETCH(bool, nested);
    QFETCH(bool, withLayout);
    QGroupBox box("Outer");
    QVBoxLayout *layout = nullptr;
    if (withLayout) {
        layout = new QVBoxLayout(&box);
        layout->setSpacing(7);
        layout->setContentsMargins(3, 3, 3, 3);
        layout->addWidget(new QPushButton("a"));
        if (nested) {
            // The inner box sits deeper, inside a plain widget.
            auto *holder = new QWidget;
            auto *inner = new QGroupBox("Inner", holder);
            Q_UNUSED(inner);
            layout->addWidget(holder);
        }
    }
    ArthurStyle style;
    style.polish(&box);
    if (!layout) {
        QVERIFY(!box.layout());
        return;
    }
    QCOMPARE(layout->spacing(), nested ? 7 : 0);
    QCOMPARE(layout->contentsMargins(), nested ? QMargins(10, 10, 10, 10) : QMargins(3, 3, 3, 3));
}

void TestStyle::metrics_data()
{
    QTest::addColumn<int>("metric");
    QTest::addColumn<bool>("own");
    QTest::addColumn<int>("expected");
    QTest::newRow("slider length") << int(QStyle::PM_SliderLength) << true << 13;
    QTest::newRow("frame width") << int(QStyle::PM_DefaultFrameWidth) << false << 0;
    QTest::newRow("indicator width") << int(QStyle::PM_ExclusiveIndicatorWidth) << false << 0;
    QTest::newRow("slider thickness") << int(QStyle::PM_SliderThickness) << false << 0;
}

void TestStyle::metrics()
{
    QFETCH(int, metric);
    QFETCH(bool, own);
    QFETCH(int, expected);
    ArthurStyle style;
    const auto m = QStyle::PixelMetric(metric);
    if (own)
        QCOMPARE(style.pixelMetric(m), expected);
    else
        QCOMPARE(style.pixelMetric(m), style.baseStyle()->pixelMetric(m));
}

void TestStyle::contentSizes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("height");
    QTest::newRow("push button") << int(QStyle::CT_PushButton) << 26;
    QTest::newRow("slider") << int(QStyle::CT_Slider) << 27;
    QTest::newRow("line edit keeps base") << int(QStyle::CT_LineEdit) << -1;
}

void TestStyle::contentSizes()
{
    QFETCH(int, type);
    QFETCH(int, height);
    ArthurStyle style;
    const auto ct = QStyle::ContentsType(type);
    QStyleOptionButton buttonOption;
    QStyleOptionSlider sliderOption;
    QStyleOptionFrame frameOption;
    QStyleOption *option = &frameOption;
    if (ct == QStyle::CT_PushButton)
        option = &buttonOption;
    else if (ct == QStyle::CT_Slider)
        option = &sliderOption;
    for (const QSize contents : {QSize(40, 10), QSize(80, 60)}) {
        const QSize base = style.baseStyle()->sizeFromContents(ct, option, contents);
        const QSize own = style.sizeFromContents(ct, option, contents);
        QCOMPARE(own.width(), base.width());
        QCOMPARE(own.height(), height < 0 ? base.height() : height);
    }
    // A real button asks the style too.
    if (ct == QStyle::CT_PushButton) {
        QPushButton b("Firmware Change");
        b.setStyle(&style);
        QCOMPARE(b.sizeHint().height(), 26);
    }
}

void TestStyle::sliderGeometry_data()
{
    QTest::addColumn<bool>("horizontal");
    QTest::addColumn<QSize>("widget");
    QTest::newRow("horizontal") << true << QSize(160, 27);
    QTest::newRow("vertical") << false << QSize(40, 200);
}

void TestStyle::sliderGeometry()
{
    QFETCH(bool, horizontal);
    QFETCH(QSize, widget);
    ArthurStyle style;
    QSlider slider(horizontal ? Qt::Horizontal : Qt::Vertical);
    slider.setStyle(&style);
    slider.resize(widget);
    QStyleOptionSlider opt;
    opt.initFrom(&slider);
    opt.orientation = slider.orientation();
    opt.minimum = 0;
    opt.maximum = 100;
    opt.sliderPosition = opt.sliderValue = 50;
    opt.rect = slider.rect();
    const QRect handle = style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle);
    const QRect groove = style.subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove);
    const QRect baseHandle
        = style.baseStyle()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle);
    const QRect baseGroove
        = style.baseStyle()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove);
    // Sizes follow the images; positions stay the base style's.
    QCOMPARE(handle.topLeft(), baseHandle.topLeft());
    if (horizontal) {
        QCOMPARE(handle.size(), QSize(13, 27));
        QCOMPARE(groove.top(), 9);
        QCOMPARE(groove.bottom(), 17);
        QCOMPARE(groove.left(), baseGroove.left());
        QCOMPARE(groove.width(), baseGroove.width());
    } else {
        QCOMPARE(handle.size(), QSize(27, 13));
        QCOMPARE(groove.width(), 27);
        QCOMPARE(groove.topLeft(), baseGroove.topLeft());
        QCOMPARE(groove.height(), baseGroove.height());
    }
    QCOMPARE(slider.sizeHint().height(), horizontal ? 27 : slider.sizeHint().height());
}

void TestStyle::groupBoxGeometry_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("width");
    QTest::newRow("title") << "Firmware" << 200;
    QTest::newRow("empty title") << "" << 120;
    QTest::newRow("odd width") << "Settings of the unit" << 301;
}

void TestStyle::groupBoxGeometry()
{
    QFETCH(QString, title);
    QFETCH(int, width);
    ArthurStyle style;
    QStyleOptionGroupBox opt;
    opt.rect = QRect(0, 0, width, 100);
    opt.text = title;
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const int tw = opt.fontMetrics.horizontalAdvance(title);
    const QRect label = style.subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel);
    // The plate is tw + 20 wide in total, centred; the label is its middle
    // between the 4-pixel caps, as high as the title images.
    const int plateLeft = opt.rect.center().x() - (tw + 20) / 2;
    QCOMPARE(label, QRect(plateLeft + 4, 0, tw + 12, 18));
    QCOMPARE(style.subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxFrame), opt.rect);
    QRect contents
        = style.baseStyle()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxContents);
    contents.setTop(contents.top() - 8);
    QCOMPARE(
        style.subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxContents), contents);
    QCOMPARE(style.subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxCheckBox),
        style.baseStyle()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxCheckBox));
}

void TestStyle::radioButtonRects()
{
    ArthurStyle style;
    QRadioButton radio("Polish");
    radio.resize(120, 20);
    QStyleOptionButton opt;
    opt.initFrom(&radio);
    opt.rect = radio.rect();
    // Contents from x = 20 of the widget, then narrowed by 5 on both sides.
    QCOMPARE(style.subElementRect(QStyle::SE_RadioButtonContents, &opt, &radio),
        QRect(25, 0, 120 - 20 - 10, 20));
    QCOMPARE(
        style.subElementRect(QStyle::SE_RadioButtonClickRect, &opt, &radio), QRect(5, 0, 110, 20));
    QRect indicator
        = style.baseStyle()->subElementRect(QStyle::SE_RadioButtonIndicator, &opt, &radio);
    indicator.adjust(5, 0, -5, 0);
    QCOMPARE(style.subElementRect(QStyle::SE_RadioButtonIndicator, &opt, &radio), indicator);
    // Without a radio button widget nothing is narrowed.
    opt.rect = QRect(0, 0, 80, 16);
    QCOMPARE(
        style.subElementRect(QStyle::SE_RadioButtonContents, &opt, nullptr), QRect(20, 0, 60, 16));
}

void TestStyle::cache_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");
    QTest::newRow("style image") << ":res/images/button_normal_stretch.png" << true;
    QTest::newRow("with slash") << ":/res/images/slider_thumb_on.png" << true;
    QTest::newRow("missing") << ":res/images/no_such_image.png" << false;
    QTest::newRow("not an image") << ":res/images" << false;
}

void TestStyle::cache()
{
    QFETCH(QString, path);
    QFETCH(bool, exists);
    ArthurStyle style;
    QPixmapCache::clear();
    const QPixmap first = ExposedStyle::cachedPixmap(path);
    QCOMPARE(first.isNull(), !exists);
    QPixmap cached;
    QCOMPARE(QPixmapCache::find(path, &cached), exists);
    if (exists) {
        QCOMPARE(cached.cacheKey(), first.cacheKey());
        // Served from the cache from now on: the very same pixmap.
        QCOMPARE(ExposedStyle::cachedPixmap(path).cacheKey(), first.cacheKey());
    }
}

QTEST_MAIN(TestStyle)
#include "tst_style.moc"
