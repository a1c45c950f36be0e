#include "darvo_bootloader.h"
#include "hexwriter.h"
#include "imagecodec.h"
#include "modaldriver.h"
#include "samplefirmware.h"
#include "upgradefile.h"

#include <QBuffer>
#include <QDataStream>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

using kelto::hexgen::HexWriter;
using kelto::test::ModalDriver;

namespace {

constexpr int imageSize = 0x60000;

// Bytes 0 to 65 of every upgrade file: the header text, "03" and the image
// length, as devices in the field expect them.
const QByteArray pinnedStart = QByteArray::fromHex("00000032"
                                                   "004B0065006C0074006F0020"
                                                   "00550070006700720061006400650020"
                                                   "00460069006C00650020"
                                                   "004800650061006400650072"
                                                   "00000004"
                                                   "00300033"
                                                   "00060000");

const QString openSeen = "QFileDialog|Open File|Hex (*.hex)";
const QString saveSeen = "QFileDialog|Save File|Upg (*.upg)";

uint32_t word(const QByteArray &image, int offset)
{
    const auto *p = reinterpret_cast<const unsigned char *>(image.constData()) + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

QByteArray le32(uint32_t v)
{
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

// Decodes a written file by hand, independent of the reader under test.
QByteArray decodedImage(const QByteArray &file)
{
    QByteArray image = file.mid(66, imageSize);
    decodeImage(reinterpret_cast<unsigned char *>(image.data()), uint32_t(image.size()));
    return image;
}

uint32_t sumWords(const QByteArray &image, int from, int to)
{
    uint32_t sum = 0;
    for (int at = from; at < to; at += 4)
        sum += word(image, at);
    return sum;
}

QStringList logLines(Darvo_bootloader &w)
{
    const QString text = w.findChild<QTextBrowser *>("txt")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

} // namespace

class TestUpgradeFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eofOnlyGivesZeroImage();
    void startBytesArePinned_data();
    void startBytesArePinned();
    void checksumsReplaceBuildValues();
    void onlyApplicationAndExternalWindowsAreTaken();
    void foreignBrandStopsBeforeSaveDialog();
    void conversionErrorsAreReportedAndFileStillSaved();
    void brandUncheckedAfterFailedApplicationPass();
    void cancelledDialogsWriteNothing_data();
    void cancelledDialogsWriteNothing();
    void unwritableDestinationIsReported();
    void windowAndToolWriteTheSameFile();
    void sampleBuildsHaveTheirShape_data();
    void sampleBuildsHaveTheirShape();
    void readerRefusesWrongFiles_data();
    void readerRefusesWrongFiles();
    void readerGivesBackThePlainImage();

private:
    QString writeHex(const QString &name, const QByteArray &text);
    QTemporaryDir dir;
    int outputs = 0;
};

void TestUpgradeFile::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestUpgradeFile::writeHex(const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size())
        return {};
    return path;
}

void TestUpgradeFile::eofOnlyGivesZeroImage()
{
    const QString hex = writeHex("eof.hex", ":00000001FF\r\n");
    const QString upg = dir.filePath("eof.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hex).file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), (QStringList {openSeen, saveSeen}));
    QVERIFY(logLines(w).isEmpty());

    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    QCOMPARE(file.size(), 393282);
    QCOMPARE(file.left(66).toHex(), pinnedStart.toHex());
    QCOMPARE(decodedImage(file), QByteArray(imageSize, '\0'));
}

void TestUpgradeFile::startBytesArePinned_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("sample build") << kelto::sample::applicationHex();
    HexWriter h;
    QByteArray ones(0x3C000, char(0xFF));
    ones[0x3BFD0] = 0;
    ones[0x3BFD1] = 0;
    h.data(0x08004000, ones);
    h.data(0x08040000, QByteArray(0x14000, char(0xFF)));
    h.end();
    QTest::newRow("all ones") << h.text();
    QTest::newRow("broken first line") << QByteArray("junk line here\r\n");
}

void TestUpgradeFile::startBytesArePinned()
{
    QFETCH(QByteArray, hex);
    const QString upg = dir.filePath(QString("pinned%1.upg").arg(outputs++));
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("pinned.hex", hex));
    if (hex.startsWith("junk"))
        d.ok().ok();
    d.file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.size(), qint64(393282));
    QCOMPARE(f.read(66).toHex(), pinnedStart.toHex());
}

void TestUpgradeFile::checksumsReplaceBuildValues()
{
    HexWriter h;
    h.data(0x08004000, "application code");
    h.data(0x08010000, QByteArray(300, char(0x81)));
    h.data(0x0803FFF0, QByteArray(12, char(0x11)) + le32(0xDEADBEEF));
    h.data(0x08040000, "external data");
    h.data(0x08053FF8, le32(0x01020304) + le32(0xCAFEBABE));
    h.end();
    const QString upg = dir.filePath("sums.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("sums.hex", h.text())).file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());

    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray image = decodedImage(f.readAll());
    const uint32_t a = sumWords(image, 0x4000, 0x3FFFC);
    const uint32_t b = sumWords(image, 0x40000, 0x53FFC);
    QCOMPARE(word(image, 0x3FFFC), a);
    QCOMPARE(word(image, 0x53FFC), b);
    QVERIFY(a != 0xDEADBEEF && b != 0xCAFEBABE);
    // The words before the checksums are the build's.
    QCOMPARE(word(image, 0x3FFF8), 0x11111111u);
    QCOMPARE(word(image, 0x53FF8), 0x01020304u);
    QCOMPARE(image.mid(0x4000, 16), QByteArray("application code"));
    QCOMPARE(image.mid(0x40000, 13), QByteArray("external data"));
}

void TestUpgradeFile::onlyApplicationAndExternalWindowsAreTaken()
{
    HexWriter h;
    h.data(0x08000000, QByteArray(0x4000, char(0x42))); // a bootloader
    h.data(0x08054000, QByteArray(0xC000, char(0x43))); // beyond the external section
    h.data(0x08060000, QByteArray(64, char(0x44))); // beyond the image
    h.end();
    const QString upg = dir.filePath("windows.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("windows.hex", h.text())).file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(decodedImage(f.readAll()), QByteArray(imageSize, '\0'));
}

void TestUpgradeFile::foreignBrandStopsBeforeSaveDialog()
{
    HexWriter h;
    h.data(0x0803FFD0, QByteArray::fromHex("0100"));
    h.end();
    Darvo_bootloader w;
    w.findChild<QTextBrowser *>("txt")->append("earlier output");
    ModalDriver d;
    d.file(writeHex("brand.hex", h.text()));
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), QStringList {openSeen});
    // The log holds this run's line only.
    QCOMPARE(logLines(w), QStringList {"Err: Invalid brand!"});
}

void TestUpgradeFile::conversionErrorsAreReportedAndFileStillSaved()
{
    const QString upg = dir.filePath("broken.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("broken.hex", " :00000001FF\r\n")).ok().ok().file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    const QString box = "QMessageBox|Error|HexToBin error: -2)";
    QCOMPARE(d.seen(), (QStringList {openSeen, box, box, saveSeen}));
    QCOMPARE(logLines(w), (QStringList {"HexToBin error: -2)", "HexToBin error: -2)"}));
    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray file = f.readAll();
    QCOMPARE(file.size(), 393282);
    QCOMPARE(decodedImage(file), QByteArray(imageSize, '\0'));
}

void TestUpgradeFile::brandUncheckedAfterFailedApplicationPass()
{
    // The brand was stored before the bad line: the failed pass is reported
    // and the file is still offered for saving.
    HexWriter h;
    h.data(0x0803FFD0, QByteArray::fromHex("0200"));
    h.data(0x08040000, "ext");
    h.raw(":03000002ZZ\r\n");
    const QString upg = dir.filePath("partial.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("partial.hex", h.text())).ok().ok().file(upg);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QCOMPARE(logLines(w), (QStringList {"HexToBin error: -7)", "HexToBin error: -7)"}));
    QFile f(upg);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray image = decodedImage(f.readAll());
    QCOMPARE(word(image, 0x3FFD0) & 0xFFFF, 2u);
    QCOMPARE(image.mid(0x40000, 3), QByteArray("ext"));
    QCOMPARE(word(image, 0x3FFFC), 2u);
    QCOMPARE(word(image, 0x53FFC), sumWords(image, 0x40000, 0x53FFC));
}

void TestUpgradeFile::cancelledDialogsWriteNothing_data()
{
    QTest::addColumn<bool>("cancelOpen");
    QTest::newRow("open") << true;
    QTest::newRow("save") << false;
}

void TestUpgradeFile::cancelledDialogsWriteNothing()
{
    QFETCH(bool, cancelOpen);
    const QString hex = writeHex("cancel.hex", ":00000001FF\r\n");
    Darvo_bootloader w;
    ModalDriver d;
    if (cancelOpen)
        d.cancel();
    else
        d.file(hex).cancel();
    const QStringList before = QDir(dir.path()).entryList(QDir::Files);
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), cancelOpen ? 1 : 2);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), before);
    QVERIFY(logLines(w).isEmpty());
}

void TestUpgradeFile::unwritableDestinationIsReported()
{
    const QString upg = dir.filePath("no-such-folder/out.upg");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(writeHex("ok.hex", ":00000001FF\r\n")).file(upg).ok();
    w.slotpushButtonCreateUpg(false);
    QVERIFY(d.finished());
    // The dialog may resolve the missing folder its own way; the name ends
    // the same.
    const QStringList log = logLines(w);
    QCOMPARE(log.size(), 1);
    QVERIFY2(log.first().startsWith("File write error: cannot create ")
            && log.first().contains("no-such-folder/out.upg: "),
        qPrintable(log.first()));
    QCOMPARE(d.seen().value(2), "QMessageBox|Error|" + log.first());
    QVERIFY(!QFile::exists(upg));
}

void TestUpgradeFile::windowAndToolWriteTheSameFile()
{
    const QString hex = writeHex("sample.hex", kelto::sample::applicationHex());
    const QString fromWindow = dir.filePath("window.upg");
    const QString fromTool = dir.filePath("tool.upg");
    {
        Darvo_bootloader w;
        ModalDriver d;
        d.file(hex).file(fromWindow);
        w.slotpushButtonCreateUpg(false);
        QVERIFY(d.finished());
        QVERIFY(logLines(w).isEmpty());
    }
    QByteArray image;
    const kelto::upgradefile::Build build = kelto::upgradefile::buildImage(hex, image);
    QCOMPARE(build.applicationResult, 0);
    QCOMPARE(build.externalResult, 0);
    QVERIFY(build.brandAccepted);
    QCOMPARE(kelto::upgradefile::writeFile(fromTool, image), 0);

    QFile a(fromWindow), b(fromTool);
    QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    const QByteArray bytes = a.readAll();
    QCOMPARE(bytes.size(), 393282);
    QVERIFY(bytes == b.readAll());
    const QByteArray plain = decodedImage(bytes);
    QCOMPARE(plain.mid(0x4000 + 0xA200, 29), QByteArray("Kelto sample application 3.00"));
}

void TestUpgradeFile::sampleBuildsHaveTheirShape_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<uint>("brandAddress");
    QTest::newRow("application") << kelto::sample::applicationHex() << 0x0803FFD0u;
    QTest::newRow("bootloader") << kelto::sample::bootloaderHex() << 0x08003FD0u;
}

void TestUpgradeFile::sampleBuildsHaveTheirShape()
{
    // Later demos rely on these builds: CR LF lines, 16-byte data records,
    // segment and start address records, brand 0 present in the file.
    QFETCH(QByteArray, hex);
    QFETCH(uint, brandAddress);
    QVERIFY(hex.endsWith(":00000001FF\r\n"));
    QCOMPARE(hex.count("\r\n"), hex.count('\n'));
    QSet<QByteArray> types;
    bool brandSeen = false;
    uint32_t upper = 0;
    for (const QByteArray &line : hex.split('\n')) {
        if (line.isEmpty())
            continue;
        const QByteArray type = line.mid(7, 2);
        types << type;
        const uint count = line.mid(1, 2).toUInt(nullptr, 16);
        const uint offset = line.mid(3, 4).toUInt(nullptr, 16);
        if (type == "04")
            upper = line.mid(9, 4).toUInt(nullptr, 16) << 16;
        if (type == "00") {
            QVERIFY2(count <= 16, line.constData());
            if (upper + offset == brandAddress)
                brandSeen = line.mid(9, 4) == "0000";
        }
    }
    QCOMPARE(types, (QSet<QByteArray> {"00", "01", "04", "05"}));
    QVERIFY(brandSeen);
}

void TestUpgradeFile::readerRefusesWrongFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("status");
    using S = kelto::upgradefile::ReadStatus;

    auto stream = [](const QString &header, const QString &version, const QByteArray &image) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << header << version << image;
        return bytes;
    };
    const QByteArray image(imageSize, '\0');
    const QString header = "Kelto Upgrade File Header";
    QTest::newRow("good") << stream(header, "03", image) << int(S::Ok);
    QTest::newRow("longer image block is cut")
        << stream(header, "03", image + "tail") << int(S::Ok);
    QTest::newRow("empty file") << QByteArray() << int(S::WrongHeader);
    QTest::newRow("other product")
        << stream("Kelto Upgrade File Headex", "03", image) << int(S::WrongHeader);
    QTest::newRow("header prefix") << stream("Kelto Upgrade", "03", image) << int(S::WrongHeader);
    QTest::newRow("version 02") << stream(header, "02", image) << int(S::WrongVersion);
    QTest::newRow("version missing")
        << stream(header, "03", image).left(54) << int(S::WrongVersion);
    QTest::newRow("short image block")
        << stream(header, "03", image.left(imageSize - 1)) << int(S::ShortImage);
    QTest::newRow("truncated file")
        << stream(header, "03", image).left(393281) << int(S::ShortImage);
    QTest::newRow("image missing") << stream(header, "03", image).left(62) << int(S::ShortImage);
    QByteArray odd = stream(header, "03", image);
    odd[3] = 0x33; // odd byte count of a UTF-16 text
    QTest::newRow("corrupt header length") << odd << int(S::WrongHeader);
    // The image block at its size, one byte under (above) and one over; and
    // length fields that claim nothing (null) or far more than the file has.
    QTest::newRow("image block one byte longer") << stream(header, "03", image + "t") << int(S::Ok);
    const auto withLength = [&](int at, uint32_t length) {
        QByteArray f = stream(header, "03", image);
        for (int i = 0; i < 4; ++i)
            f[at + i] = char(length >> (24 - 8 * i));
        return f;
    };
    QTest::newRow("null header text") << withLength(0, 0xFFFFFFFF) << int(S::WrongHeader);
    QTest::newRow("null image block") << withLength(62, 0xFFFFFFFF) << int(S::ShortImage);
    QTest::newRow("image block claims 2 GiB") << withLength(62, 0x7FFFFFFF) << int(S::ShortImage);
    QTest::newRow("image block claims one byte more than the file")
        << withLength(62, imageSize + 1) << int(S::ShortImage);
}

void TestUpgradeFile::readerRefusesWrongFiles()
{
    QFETCH(QByteArray, file);
    QFETCH(int, status);
    QBuffer buffer(&file);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QByteArray image;
    QCOMPARE(int(kelto::upgradefile::read(buffer, image)), status);
    if (status == int(kelto::upgradefile::ReadStatus::Ok))
        QCOMPARE(image.size(), imageSize);
    else
        QVERIFY(image.isEmpty());
}

void TestUpgradeFile::readerGivesBackThePlainImage()
{
    QByteArray image;
    QVERIFY(kelto::upgradefile::buildImage(
        writeHex("round.hex", kelto::sample::applicationHex()), image)
                .brandAccepted);
    const QByteArray plain = image;
    QByteArray file;
    QBuffer out(&file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    QCOMPARE(kelto::upgradefile::write(out, image), 0);
    QVERIFY(image != plain); // encoded in place
    out.close();
    QBuffer in(&file);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray back;
    QCOMPARE(kelto::upgradefile::read(in, back), kelto::upgradefile::ReadStatus::Ok);
    QVERIFY(back == plain);
}

QTEST_MAIN(TestUpgradeFile)
#include "tst_upgradefile.moc"
