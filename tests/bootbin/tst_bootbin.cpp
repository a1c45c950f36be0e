#include "bootloaderimage.h"
#include "darvo_bootloader.h"
#include "hexwriter.h"
#include "modaldriver.h"
#include "samplefirmware.h"

#include <QDialog>
#include <QInputDialog>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

using kelto::hexgen::HexWriter;
using kelto::test::ModalDriver;

namespace {

const QString openSeen = "QFileDialog|Open File|Hex (*.hex)";
const QString yearSeen = "QInputDialog|Production year|Year(YY)";
const QString weekSeen = "QInputDialog|Production week|Week(WW)";
const QString numberSeen = "QInputDialog|Production number|Number(NNNN)";
const QString countSeen = "QInputDialog|Iteration|Count:";

QStringList logLines(Darvo_bootloader &w)
{
    const QString text = w.findChild<QTextBrowser *>("txt")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A bootloader build with known bytes: code at the start, brand 0, a filled
// serial area, and application data that must not reach the image.
QByteArray knownBuild()
{
    HexWriter h;
    h.data(0x08000000, "bootloader start");
    h.data(0x08003FD0, QByteArray(2, '\0') + "version");
    QByteArray tail;
    for (int i = 0; i < 16; ++i)
        tail += char(0xA0 + i);
    h.data(0x08003FF0, tail);
    h.data(0x08004000, QByteArray(64, char(0x77)));
    h.end();
    return h.text();
}

} // namespace

class TestBootBin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void threeUnitsFromNumberOne();
    void countRange_data();
    void countRange();
    void serialReplacesOnlyItsNineBytes();
    void preselections_data();
    void preselections();
    void foreignBrandStopsBeforeYear();
    void failedConversionStopsBeforeYear();
    void cancelledDialogsWriteNothing_data();
    void cancelledDialogsWriteNothing();
    void unwritableFileIsReported();
    void imagesMadeBeforeAreKept();

private:
    QString hexFile(const QByteArray &text);
    QTemporaryDir hexDir;
    std::unique_ptr<QTemporaryDir> workDir;
    QString startDir;
};

void TestBootBin::initTestCase()
{
    QVERIFY(hexDir.isValid());
    startDir = QDir::currentPath();
}

void TestBootBin::init()
{
    // Every run writes into the working directory: give each test its own.
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    kelto::bootimage::setDateFunction([] { return QDate(2018, 12, 17); });
}

void TestBootBin::cleanup()
{
    kelto::bootimage::setDateFunction(nullptr);
    QDir::setCurrent(startDir);
    workDir.reset();
}

QString TestBootBin::hexFile(const QByteArray &text)
{
    static int n = 0;
    const QString path = hexDir.filePath(QString("boot%1.hex").arg(n++));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    return path;
}

void TestBootBin::threeUnitsFromNumberOne()
{
    Darvo_bootloader w;
    w.findChild<QTextBrowser *>("txt")->append("earlier output");
    ModalDriver d;
    d.file(hexFile(kelto::sample::bootloaderHex()))
        .inputItem("18")
        .inputItem("51")
        .inputInt(1)
        .inputInt(3);
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), (QStringList {openSeen, yearSeen, weekSeen, numberSeen, countSeen}));
    // The log is not cleared.
    QCOMPARE(logLines(w),
        (QStringList {"earlier output", "prod_number 1", "iter 3", "185100001",
            "New bootloader + serial:", "Kelto_Bootloader_185100001.bin", "185100002",
            "New bootloader + serial:", "Kelto_Bootloader_185100002.bin", "185100003",
            "New bootloader + serial:", "Kelto_Bootloader_185100003.bin"}));
    QCOMPARE(QDir::current().entryList(QDir::Files),
        (QStringList {"Kelto_Bootloader_185100001.bin", "Kelto_Bootloader_185100002.bin",
            "Kelto_Bootloader_185100003.bin"}));
    const QByteArray first = readAll("Kelto_Bootloader_185100001.bin");
    QCOMPARE(first.size(), 16384);
    QCOMPARE(first.mid(0x3FF0, 9), QByteArray("185100001"));
    QCOMPARE(first.mid(0x3FE0, 15), QByteArray(kelto::sample::bootloaderVersion, 15));
    for (int unit = 2; unit <= 3; ++unit) {
        QByteArray other = readAll(QString("Kelto_Bootloader_18510000%1.bin").arg(unit));
        QCOMPARE(other.size(), 16384);
        QCOMPARE(other.mid(0x3FF5, 4), QByteArray("000") + char('0' + unit));
        other.replace(0x3FF8, 1, "1");
        QVERIFY(other == first); // differs in the unit number only
    }
}

void TestBootBin::countRange_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("request");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("first unit") << 1 << 9998 << 2
                                << QStringList {"Kelto_Bootloader_185100001.bin",
                                       "Kelto_Bootloader_185100002.bin"};
    QTest::newRow("9998 allows one")
        << 9998 << 1 << 9999 << QStringList {"Kelto_Bootloader_185109998.bin"};
    // The range 1 to 0 admits only 1.
    QTest::newRow("9999") << 9999 << 1 << 9999 << QStringList {"Kelto_Bootloader_185109999.bin"};
}

void TestBootBin::countRange()
{
    QFETCH(int, number);
    QFETCH(int, maximum);
    QFETCH(int, request);
    QFETCH(QStringList, written);
    int minimumSeen = -1;
    int maximumSeen = -1;
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(knownBuild())).inputItem("18").inputItem("51").inputInt(number);
    d.custom([&](QWidget *dialog) {
        auto *in = qobject_cast<QInputDialog *>(dialog);
        if (in) {
            minimumSeen = in->intMinimum();
            maximumSeen = in->intMaximum();
            in->setIntValue(request); // clamped to the maximum
        }
        static_cast<QDialog *>(dialog)->accept();
    });
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(minimumSeen, 1);
    QCOMPARE(maximumSeen, maximum);
    QCOMPARE(d.offered().last(), "1");
    QCOMPARE(logLines(w).value(0), QString("prod_number %1").arg(number));
    QCOMPARE(logLines(w).value(1), QString("iter %1").arg(written.size()));
    QCOMPARE(QDir::current().entryList(QDir::Files), written);
}

void TestBootBin::serialReplacesOnlyItsNineBytes()
{
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(knownBuild())).inputItem("07").inputItem("03").inputInt(42).inputInt(1);
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    const QByteArray image = readAll("Kelto_Bootloader_070300042.bin");
    QByteArray expected(16384, '\0');
    expected.replace(0, 16, "bootloader start");
    expected.replace(0x3FD2, 7, "version");
    for (int i = 9; i < 16; ++i)
        expected[0x3FF0 + i] = char(0xA0 + i);
    expected.replace(0x3FF0, 9, "070300042");
    QCOMPARE(image.toHex(), expected.toHex());
}

void TestBootBin::preselections_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("week");
    QTest::newRow("ordinary week") << QDate(2018, 12, 17) << "18"
                                   << "51";
    QTest::newRow("week 53") << QDate(2026, 12, 31) << "26"
                             << "53";
    // The year of the ISO week, so that no serial of another year repeats.
    QTest::newRow("1 January in week 53") << QDate(2027, 1, 1) << "26"
                                          << "53";
    QTest::newRow("1 January in week 52") << QDate(2022, 1, 1) << "21"
                                          << "52";
    QTest::newRow("1 January in week 1") << QDate(2025, 1, 1) << "25"
                                         << "01";
    QTest::newRow("31 December in week 1") << QDate(2024, 12, 31) << "25"
                                           << "01";
    QTest::newRow("year 2000") << QDate(2000, 6, 15) << "00"
                               << "24";
}

void TestBootBin::preselections()
{
    QFETCH(QDate, today);
    QFETCH(QString, year);
    QFETCH(QString, week);
    kelto::bootimage::setDateFunction([today] { return today; });
    Darvo_bootloader w;
    ModalDriver d;
    auto acceptAsOffered = [](QWidget *dialog) { static_cast<QDialog *>(dialog)->accept(); };
    d.file(hexFile(knownBuild())).custom(acceptAsOffered).custom(acceptAsOffered).cancel();
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.offered().value(0), year);
    QCOMPARE(d.offered().value(1), week);
    QCOMPARE(d.offered().value(2), "1"); // production number
    QVERIFY(QDir::current().entryList(QDir::Files).isEmpty());
}

void TestBootBin::foreignBrandStopsBeforeYear()
{
    HexWriter h;
    h.data(0x08003FD0, QByteArray::fromHex("0001"));
    h.end();
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(h.text()));
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), QStringList {openSeen});
    QCOMPARE(logLines(w), QStringList {"Err: Invalid brand!"});
    QVERIFY(QDir::current().entryList(QDir::Files).isEmpty());
}

void TestBootBin::failedConversionStopsBeforeYear()
{
    // A build cut off by a bad line must not be stamped into every unit.
    HexWriter h;
    h.data(0x08000000, "start of a bootloader");
    h.raw("garbage\r\n");
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(h.text())).ok();
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), (QStringList {openSeen, "QMessageBox|Error|HexToBin error: -1)"}));
    QCOMPARE(logLines(w), QStringList {"HexToBin error: -1)"});
    QVERIFY(QDir::current().entryList(QDir::Files).isEmpty());
}

void TestBootBin::cancelledDialogsWriteNothing_data()
{
    QTest::addColumn<int>("cancelAt");
    QTest::addColumn<QStringList>("log");
    QTest::newRow("open") << 0 << QStringList();
    QTest::newRow("year") << 1 << QStringList();
    QTest::newRow("week") << 2 << QStringList();
    QTest::newRow("number") << 3 << QStringList();
    QTest::newRow("count") << 4 << QStringList {"prod_number 5"};
}

void TestBootBin::cancelledDialogsWriteNothing()
{
    QFETCH(int, cancelAt);
    QFETCH(QStringList, log);
    Darvo_bootloader w;
    ModalDriver d;
    const QString hex = hexFile(knownBuild());
    for (int step = 0; step < cancelAt; ++step) {
        switch (step) {
        case 0:
            d.file(hex);
            break;
        case 1:
        case 2:
            d.custom([](QWidget *dialog) { static_cast<QDialog *>(dialog)->accept(); });
            break;
        case 3:
            d.inputInt(5);
            break;
        }
    }
    d.cancel();
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), cancelAt + 1);
    QCOMPARE(logLines(w), log);
    QVERIFY(QDir::current().entryList(QDir::Files).isEmpty());
}

void TestBootBin::unwritableFileIsReported()
{
    // A directory in the way of the second unit's file.
    QVERIFY(QDir::current().mkdir("Kelto_Bootloader_185100002.bin"));
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(knownBuild())).inputItem("18").inputItem("51").inputInt(1).inputInt(3).ok();
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    const QString error = "File write error: Kelto_Bootloader_185100002.bin is a folder; only a "
                          "regular file is replaced";
    QCOMPARE(d.seen().last(), "QMessageBox|Error|" + error);
    QCOMPARE(logLines(w),
        (QStringList {"prod_number 1", "iter 3", "185100001",
            "New bootloader + serial:", "Kelto_Bootloader_185100001.bin", "185100002", error}));
    QCOMPARE(
        QDir::current().entryList(QDir::Files), QStringList {"Kelto_Bootloader_185100001.bin"});
}

void TestBootBin::imagesMadeBeforeAreKept()
{
    // A serial is issued once: a second run over the same units writes none.
    QFile before("Kelto_Bootloader_185100002.bin");
    QVERIFY(before.open(QIODevice::WriteOnly) && before.write("issued before") == 13);
    before.close();
    Darvo_bootloader w;
    ModalDriver d;
    d.file(hexFile(knownBuild())).inputItem("18").inputItem("51").inputInt(1).inputInt(3);
    w.slotpushButtonCreateBootBin(false);
    QVERIFY(d.finished());
    const QString log = logLines(w).join('\n');
    QVERIFY2(log.contains("Err: 1 of the images exist already") && log.endsWith(before.fileName()),
        qPrintable(log));
    QCOMPARE(QDir::current().entryList(QDir::Files), QStringList {before.fileName()});
    QCOMPARE(readAll(before.fileName()), QByteArray("issued before"));
}

QTEST_MAIN(TestBootBin)
#include "tst_bootbin.moc"
