// The compiled-in image collection: names, sizes, storage and registration.
#include "resources.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QResource>
#include <QTest>

int qCleanupResources_kelto();

namespace {

// Every entry of the collection, in name order (C locale).
const QStringList kEntries = {
    "USB green 64x64.png",
    "blackout.png",
    "button_normal_cap_left.png",
    "button_normal_cap_right.png",
    "button_normal_stretch.png",
    "button_pressed_cap_left.png",
    "button_pressed_cap_right.png",
    "button_pressed_stretch.png",
    "copy.png",
    "cut.png",
    "frame_bottom.png",
    "frame_bottomleft.png",
    "frame_bottomright.png",
    "frame_left.png",
    "frame_right.png",
    "frame_top.png",
    "frame_topleft.png",
    "frame_topright.png",
    "groupframe_bottom_left.png",
    "groupframe_bottom_right.png",
    "groupframe_bottom_stretch.png",
    "groupframe_left_stretch.png",
    "groupframe_right_stretch.png",
    "groupframe_top_stretch.png",
    "groupframe_topleft.png",
    "groupframe_topright.png",
    "help.png",
    "info.png",
    "kelto_logo.bmp",
    "kelto_logo_32.png",
    "kelto_logo_32_dark.png",
    "kelto_logo_32_grey.png",
    "kelto_logo_32_white.png",
    "line_dash_dot.png",
    "line_dash_dot_dot.png",
    "line_dashed.png",
    "line_dotted.png",
    "line_solid.png",
    "new.png",
    "open.png",
    "paste.png",
    "player_play.png",
    "player_stop.png",
    "radiobutton-on.png",
    "radiobutton_off.png",
    "radiobutton_on.png",
    "read.png",
    "red_slider.bmp",
    "save.png",
    "slider_bar.png",
    "slider_bar_v.png",
    "slider_bar_vertical.png",
    "slider_blue.png",
    "slider_thumb_on.png",
    "slider_thumb_on_v_blue.png",
    "slider_thumb_on_v_green.png",
    "slider_thumb_on_v_red.png",
    "synchro_green.png",
    "synchro_red.png",
    "title_cap_left.png",
    "title_cap_right.png",
    "title_stretch.png",
    "write.png",
};

bool allReadable(QString *missing)
{
    for (const QString &name : kEntries) {
        if (QImage(":/res/images/" + name).isNull()) {
            *missing = name;
            return false;
        }
    }
    return true;
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    // Must stay first: it runs before anything calls the registration.
    void registeredBeforeMain();
    void entries();
    void styleImages_data();
    void styleImages();
    void logos();
    void storage_data();
    void storage();
    void registeringAgain();
    void windowsIcon();
    // Last: it unregisters the collection.
    void unregisterAndRegister();
};

void TestResources::registeredBeforeMain()
{
    // Nothing in this program has called kelto::registerResources() yet:
    // the collection's static initializer has done it before main.
    QVERIFY(QFile::exists(":/res/images/title_stretch.png"));
    QVERIFY(QFile::exists(":res/images/title_stretch.png"));
}

void TestResources::entries()
{
    QDir dir(":/res/images");
    QVERIFY(dir.exists());
    QStringList names = dir.entryList(QDir::Files, QDir::Name);
    QCOMPARE(names.size(), 63);
    std::sort(names.begin(), names.end(),
        [](const QString &a, const QString &b) { return a.toUtf8() < b.toUtf8(); });
    QCOMPARE(names, kEntries);
    // One tree: res, then images.
    QVERIFY(QDir(":/").entryList(QDir::Dirs).contains("res"));
    QCOMPARE(
        QDir(":/res").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList({"images"}));
    QString missing;
    QVERIFY2(allReadable(&missing), qPrintable(missing));
}

void TestResources::styleImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("title cap left") << "title_cap_left.png" << QSize(4, 18);
    QTest::newRow("title stretch") << "title_stretch.png" << QSize(1, 18);
    QTest::newRow("title cap right") << "title_cap_right.png" << QSize(4, 18);
    QTest::newRow("frame top left") << "groupframe_topleft.png" << QSize(14, 14);
    QTest::newRow("frame top right") << "groupframe_topright.png" << QSize(14, 14);
    QTest::newRow("frame bottom left") << "groupframe_bottom_left.png" << QSize(14, 14);
    QTest::newRow("frame bottom right") << "groupframe_bottom_right.png" << QSize(14, 14);
    QTest::newRow("frame top") << "groupframe_top_stretch.png" << QSize(1, 14);
    QTest::newRow("frame bottom") << "groupframe_bottom_stretch.png" << QSize(1, 14);
    QTest::newRow("frame left") << "groupframe_left_stretch.png" << QSize(14, 1);
    QTest::newRow("frame right") << "groupframe_right_stretch.png" << QSize(14, 1);
    QTest::newRow("button cap left") << "button_normal_cap_left.png" << QSize(10, 26);
    QTest::newRow("button stretch") << "button_normal_stretch.png" << QSize(1, 26);
    QTest::newRow("button cap right") << "button_normal_cap_right.png" << QSize(10, 26);
    QTest::newRow("pressed cap left") << "button_pressed_cap_left.png" << QSize(17, 25);
    QTest::newRow("pressed stretch") << "button_pressed_stretch.png" << QSize(15, 25);
    QTest::newRow("pressed cap right") << "button_pressed_cap_right.png" << QSize(17, 25);
    QTest::newRow("radio off") << "radiobutton_off.png" << QSize(12, 14);
    QTest::newRow("radio on") << "radiobutton_on.png" << QSize(12, 14);
    QTest::newRow("radio pressed") << "radiobutton-on.png" << QSize(12, 14);
    QTest::newRow("slider bar") << "slider_bar.png" << QSize(107, 9);
    QTest::newRow("slider thumb") << "slider_thumb_on.png" << QSize(13, 27);
    QTest::newRow("vertical bar") << "slider_bar_vertical.png" << QSize(10, 256);
    QTest::newRow("thumb red") << "slider_thumb_on_v_red.png" << QSize(27, 13);
    QTest::newRow("thumb green") << "slider_thumb_on_v_green.png" << QSize(27, 13);
    QTest::newRow("thumb blue") << "slider_thumb_on_v_blue.png" << QSize(27, 13);
}

void TestResources::styleImages()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    // The style writes its paths without a slash after the colon.
    const QImage image(":res/images/" + name);
    QVERIFY2(!image.isNull(), qPrintable(name));
    QCOMPARE(image.size(), size);
    QCOMPARE(QImage(":/res/images/" + name), image);
}

void TestResources::logos()
{
    const QImage bitmap(":/res/images/kelto_logo.bmp");
    QVERIFY(!bitmap.isNull());
    for (const char *name : {"kelto_logo_32.png", "kelto_logo_32_dark.png",
             "kelto_logo_32_grey.png", "kelto_logo_32_white.png"}) {
        const QImage mark(QString(":/res/images/") + name);
        QVERIFY2(!mark.isNull(), name);
        QCOMPARE(mark.size(), QSize(32, 32));
    }
    // "radiobutton-on.png" and "radiobutton_on.png" are different images.
    QVERIFY(QImage(":/res/images/radiobutton-on.png") != QImage(":/res/images/radiobutton_on.png"));
}

void TestResources::storage_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : kEntries)
        QTest::newRow(qPrintable(name)) << name;
}

void TestResources::storage()
{
    QFETCH(QString, name);
    const QResource entry(":/res/images/" + name);
    QVERIFY(entry.isValid());
    QCOMPARE(entry.locale().language(), QLocale::C);
    QCOMPARE(entry.locale().territory(), QLocale::AnyTerritory);
    // Only the logo bitmap is packed, and with zlib; the others (PNG and
    // the small bitmap) are stored as they are.
    const auto expected
        = name == "kelto_logo.bmp" ? QResource::ZlibCompression : QResource::NoCompression;
    QCOMPARE(entry.compressionAlgorithm(), expected);
    // Either way the bytes read back whole.
    QFile file(":/res/images/" + name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll().size(), entry.uncompressedSize());
}

void TestResources::registeringAgain()
{
    kelto::registerResources();
    kelto::registerResources();
    QString missing;
    QVERIFY2(allReadable(&missing), qPrintable(missing));
    QCOMPARE(QDir(":/res/images").entryList(QDir::Files).size(), 63);
}

void TestResources::windowsIcon()
{
    // The resource script names the icon IDI_ICON1 and the file beside it.
    QFile script(KELTO_APP_DIR "/kelto.rc");
    QVERIFY(script.open(QIODevice::ReadOnly));
    const QByteArray rc = script.readAll();
    QVERIFY(rc.contains("IDI_ICON1 ICON"));
    QVERIFY(rc.contains("\"kelto.ico\""));

    // One 32 x 32 colour image in the icon file.
    QFile ico(KELTO_APP_DIR "/kelto.ico");
    QVERIFY(ico.open(QIODevice::ReadOnly));
    const QByteArray bytes = ico.readAll();
    QVERIFY(bytes.size() > 22);
    QCOMPARE(bytes.left(6), QByteArray("\0\0\1\0\1\0", 6)); // icon, one image
    QCOMPARE(int(uchar(bytes[6])), 32);
    QCOMPARE(int(uchar(bytes[7])), 32);
    const QImage icon = QImage::fromData(bytes, "ICO");
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.size(), QSize(32, 32));
    QVERIFY(icon.hasAlphaChannel());
    // The program mark: opaque in the middle, clear in the corners.
    QCOMPARE(qAlpha(icon.pixel(16, 16)), 255);
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
}

void TestResources::unregisterAndRegister()
{
    // One unregistration removes the collection however often it was
    // registered (the toolkit keeps it once), as the exit path expects.
    kelto::registerResources();
    QCOMPARE(qCleanupResources_kelto(), 1);
    QVERIFY(!QFile::exists(":/res/images/title_stretch.png"));
    kelto::registerResources();
    QString missing;
    QVERIFY2(allReadable(&missing), qPrintable(missing));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
