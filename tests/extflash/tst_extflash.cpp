// The external flash commands of the window and the coupling of their
// progress bars to the Settings tab, through the real dialogs against the
// emulated converter.
//
// The read and fill commands remember their last values in function-local
// statics for the life of the process: the test functions depend on their
// order (Qt Test runs them as declared) and state the defaults they expect
// from the cases before them.
#include "darvo_bootloader.h"
#include "debugcapture.h"
#include "emulator.h"
#include "imagecodec.h"
#include "modaldriver.h"
#include "servicewindow.h"

#include <QFile>
#include <QInputDialog>
#include <QProgressBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>

#include <algorithm>

using kelto::test::DebugCapture;
using kelto::test::dumpRows;
using kelto::test::ModalDriver;
using kelto::test::ServiceWindow;
namespace emu = kelto::emu;

namespace {

const QString conversionError = "QMessageBox|error|Conversion error";
const char *const writeBar = "progressBarExtFlashWr";
const char *const readBar = "progressBarExtFlashRd";

std::vector<unsigned char> encoded(std::vector<unsigned char> plain)
{
    encodeImage(plain.data(), uint32_t(plain.size()));
    return plain;
}

std::vector<unsigned char> extBytes(uint32_t address, std::size_t length)
{
    const std::vector<uint8_t> all = emu::externalFlash();
    return std::vector<unsigned char>(all.begin() + static_cast<std::ptrdiff_t>(address),
        all.begin() + static_cast<std::ptrdiff_t>(address + length));
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return {};
    return path;
}

QByteArray toBytes(const std::vector<unsigned char> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), qsizetype(v.size()));
}

// Counts how many times a progress value reaches a bar: the bar is reset
// after each delivery, so even a second delivery of the same value is seen
// as a change (one delivery per connection).
class Deliveries
{
public:
    explicit Deliveries(QProgressBar *bar)
        : bar(bar)
    {
        bar->reset();
        connection = QObject::connect(bar, &QProgressBar::valueChanged, bar, [this] {
            ++count;
            this->bar->reset();
        });
    }
    ~Deliveries() { QObject::disconnect(connection); }
    int count = 0;

private:
    QProgressBar *bar;
    QMetaObject::Connection connection;
};

// Every value change of both bars, in order: 'W' for write, 'R' for read.
class BarTrace
{
public:
    BarTrace(QProgressBar *w, QProgressBar *r)
    {
        w->reset();
        r->reset();
        connections << QObject::connect(w, &QProgressBar::valueChanged, [this](int v) {
            events.push_back({'W', v});
        });
        connections << QObject::connect(r, &QProgressBar::valueChanged, [this](int v) {
            events.push_back({'R', v});
        });
    }
    ~BarTrace()
    {
        for (auto &c : connections)
            QObject::disconnect(c);
    }
    std::vector<std::pair<char, int>> events;

private:
    QList<QMetaObject::Connection> connections;
};

} // namespace

class TestExtFlash : public QObject
{
    Q_OBJECT

private slots:
    // Read: order matters, see the top of the file.
    void readFirstOffersDefaultsAndShowsPlainData();
    void readCancelChangesNothing_data();
    void readCancelChangesNothing();
    void readNonHexWarnsAndForgetsAddress();
    void readFailureWarnsAndIsLogged();

    // Fill: order matters as well.
    void fillFirstOffersDefaultsAndWritesLowByte();
    void fillEncodesWholeWords();
    void fillNonHexWarns_data();
    void fillNonHexWarns();
    void fillCancelWritesNothing_data();
    void fillCancelWritesNothing();
    void fillFailureIsLogged();

    void fileRefused_data();
    void fileRefused();
    void fileWritesAndVerifies_data();
    void fileWritesAndVerifies();
    void fileReadBackDiffers();
    void fileTransferFails_data();
    void fileTransferFails();
    void fileDialogCancelled();

    void progressFollowsSettingsTab_data();
    void progressFollowsSettingsTab();
};

void TestExtFlash::readFirstOffersDefaultsAndShowsPlainData()
{
    ServiceWindow sw;
    const auto plain = kelto::test::counting(512, 1);
    emu::writeExternalFlash(0, encoded(plain));

    ModalDriver d;
    d.inputText("0x0").inputInt(512);
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(),
        QStringList({"QInputDialog|Read External Flash From Mirel|Address (hex)",
            "QInputDialog|Read External Flash From Mirel|Length (dec)"}));
    QCOMPARE(d.offered(), QStringList({"0x0", "512"}));
    QCOMPARE(dumpRows(sw.txt()->toPlainText()), dumpRows(plain));
    QCOMPARE(sw.txtLines().size(), 32 + 2);
    QCOMPARE(sw.bar(readBar)->value(), 100);

    // An unaligned stretch in several chunks: the dump is the plain data of
    // exactly that stretch.
    const auto stretch = kelto::test::counting(1500, 5);
    emu::writeExternalFlash(0x1000, encoded(stretch));
    emu::clearTransferLog();
    ModalDriver second;
    second.inputText("0x1000").inputInt(1500);
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(second.finished());
    QCOMPARE(second.offered(), QStringList({"0x0", "512"}));
    QCOMPARE(dumpRows(sw.txt()->toPlainText()), dumpRows(stretch));
    const auto reads = emu::transferLog(5);
    QCOMPARE(reads.size(), std::size_t(3));
    QCOMPARE(reads[2].value, uint16_t(0x1400));
    QCOMPARE(reads[2].lengthAsked, 1500 - 1024);

    ModalDriver third;
    third.inputText("0x0").cancel();
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(third.finished());
    QCOMPARE(third.offered(), QStringList({"0x1000", "1500"}));
}

void TestExtFlash::readCancelChangesNothing_data()
{
    QTest::addColumn<bool>("cancelAddress");
    QTest::newRow("address dialog") << true;
    QTest::newRow("length dialog") << false;
}

void TestExtFlash::readCancelChangesNothing()
{
    QFETCH(bool, cancelAddress);
    ServiceWindow sw;
    sw.txt()->setPlainText("before");
    {
        ModalDriver d;
        if (cancelAddress)
            d.cancel();
        else
            d.inputText("0x40").custom([](QWidget *w) {
                auto *in = qobject_cast<QInputDialog *>(w);
                in->setIntValue(4);
                in->reject();
            });
        sw.window().slotpushButtonReadExternalFlash(false);
        QVERIFY(d.finished());
    }
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(sw.txt()->toPlainText(), QString("before"));

    ModalDriver again;
    again.inputText("0x0").cancel();
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(again.finished());
    QCOMPARE(again.offered(), QStringList({"0x1000", "1500"}));
}

void TestExtFlash::readNonHexWarnsAndForgetsAddress()
{
    ServiceWindow sw;
    sw.txt()->setPlainText("kept");
    ModalDriver d;
    d.inputText("0xg00").inputInt(64).ok();
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().value(2), conversionError);
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(sw.txt()->toPlainText(), QString("kept"));

    ModalDriver next;
    next.inputText("0x0").cancel();
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(next.finished());
    QCOMPARE(next.offered(), QStringList({"0x0", "64"}));
}

void TestExtFlash::readFailureWarnsAndIsLogged()
{
    ServiceWindow sw;
    emu::removeAllDevices();
    sw.txt()->setPlainText("earlier");
    ModalDriver d;
    d.inputText("0x0").inputInt(64).ok();
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().value(2), QString("QMessageBox|error|ReadExternalFlashFromAddress error"));
    // No dump of data that never came; the log keeps what it had and says
    // that the read failed.
    QCOMPARE(sw.txtLines(), QStringList({"earlier", "Read ERROR"}));
}

void TestExtFlash::fillFirstOffersDefaultsAndWritesLowByte()
{
    ServiceWindow sw;
    ModalDriver d;
    d.inputText("0x10").inputInt(3).inputText("0x1A5");
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(),
        QStringList({"QInputDialog|Write To External Flash Mirel|Address (hex)",
            "QInputDialog|Write To External Flash Mirel|Length (dec)",
            "QInputDialog|Write To External Flash Mirel|Data(hex)"}));
    QCOMPARE(d.offered(), QStringList({"0x0", "1", "0x1"}));

    // Three bytes are no whole word: they are written as they are.
    QCOMPARE(extBytes(0x0F, 5), std::vector<unsigned char>({0xFF, 0xA5, 0xA5, 0xA5, 0xFF}));
    const auto writes = emu::transferLog(6);
    QCOMPARE(writes.size(), std::size_t(1));
    QCOMPARE(writes[0].value, uint16_t(0x10));
    QCOMPARE(writes[0].index, uint16_t(0));
    QCOMPARE(writes[0].lengthAsked, 3);

    const QStringList lines = sw.txtLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QString("lenght:        3"));
    QCOMPARE(lines.at(1), QString("address: 0x      10"));
    QVERIFY(lines.at(3).startsWith(" src address: 0x"));
    QCOMPARE(dumpRows(lines.join('\n')), dumpRows(std::vector<unsigned char>(3, 0xA5)));
    QCOMPARE(sw.bar(writeBar)->value(), 100);

    ModalDriver next;
    next.inputText("0x10").inputInt(3).cancel();
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(next.finished());
    QCOMPARE(next.offered(), QStringList({"0x10", "3", "0x1a5"}));
}

void TestExtFlash::fillEncodesWholeWords()
{
    ServiceWindow sw;
    ModalDriver d;
    d.inputText("0xABC00").inputInt(600).inputText("3c");
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(d.finished());

    const auto sent = encoded(std::vector<unsigned char>(600, 0x3C));
    QVERIFY(extBytes(0xABC00, 600) == sent);
    // 256 + 256 + 88 bytes, each at its own address.
    const auto writes = emu::transferLog(6);
    QCOMPARE(writes.size(), std::size_t(3));
    QCOMPARE(writes[1].value, uint16_t(0xBD00));
    QCOMPARE(writes[1].index, uint16_t(0x000A));
    QCOMPARE(writes[2].lengthAsked, 88);

    // The log shows what went out, i.e. encoded.
    const QStringList lines = sw.txtLines();
    QCOMPARE(lines.at(0), QString("lenght:      600"));
    QCOMPARE(lines.at(1), QString("address: 0x   abc00"));
    QCOMPARE(dumpRows(lines.join('\n')), dumpRows(sent));
}

void TestExtFlash::fillNonHexWarns_data()
{
    QTest::addColumn<bool>("badAddress");
    QTest::newRow("address") << true;
    QTest::newRow("data") << false;
}

void TestExtFlash::fillNonHexWarns()
{
    QFETCH(bool, badAddress);
    ServiceWindow sw;
    sw.txt()->setPlainText("kept");
    ModalDriver d;
    if (badAddress)
        d.inputText("zz").ok();
    else
        d.inputText("0x20").inputInt(8).inputText("0x").ok();
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), badAddress ? 2 : 4);
    QCOMPARE(d.seen().last(), conversionError);
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(sw.txt()->toPlainText(), QString("kept"));

    // The failed text is remembered as 0; what was accepted before it stays.
    ModalDriver next;
    next.inputText("0x0").inputInt(1).cancel();
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(next.finished());
    if (badAddress)
        QCOMPARE(next.offered(), QStringList({"0x0", "600", "0x3c"}));
    else
        QCOMPARE(next.offered(), QStringList({"0x20", "8", "0x0"}));
}

void TestExtFlash::fillCancelWritesNothing_data()
{
    QTest::addColumn<int>("dialog");
    QTest::newRow("address") << 0;
    QTest::newRow("length") << 1;
    QTest::newRow("data") << 2;
}

void TestExtFlash::fillCancelWritesNothing()
{
    QFETCH(int, dialog);
    ServiceWindow sw;
    const auto before = emu::externalFlash();
    ModalDriver d;
    if (dialog > 0)
        d.inputText("0x100");
    if (dialog > 1)
        d.inputInt(16);
    d.cancel();
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), dialog + 1);
    QVERIFY(emu::transferLog().empty());
    QVERIFY(emu::externalFlash() == before);
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestExtFlash::fillFailureIsLogged()
{
    ServiceWindow sw;
    emu::removeAllDevices();
    DebugCapture capture;
    ModalDriver d;
    d.inputText("0x0").inputInt(4).inputText("0x77");
    sw.window().slotpushButtonWriteExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), 3); // no box
    const QStringList lines = sw.txtLines();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(0), QString("lenght:        4"));
    QCOMPARE(lines.at(1), QString("address: 0x       0"));
    QCOMPARE(dumpRows(lines.join('\n')), dumpRows(encoded(std::vector<unsigned char>(4, 0x77))));
    QCOMPARE(lines.at(5), QString("Write ERROR"));
}

void TestExtFlash::fileRefused_data()
{
    QTest::addColumn<int>("size"); // -1: a file that cannot be read
    QTest::addColumn<QString>("text");
    const QString aligned = "QMessageBox|Length error|Length should be aligned to 4";
    QTest::newRow("6 bytes") << 6 << aligned;
    QTest::newRow("empty") << 0 << aligned;
    QTest::newRow("1 byte") << 1 << aligned;
    QTest::newRow("unreadable") << -1 << "QMessageBox|Error|cannot read %1: Input/output error";
    QTest::newRow("larger than the flash") << 1048576
            + 4 << "QMessageBox|Length error|File larger than the external flash (1048576 bytes)";
}

void TestExtFlash::fileRefused()
{
    QFETCH(int, size);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    if (size >= 0) {
        path = writeFile(dir, "image.bin", QByteArray(size, '\x5A'));
    } else {
        // Exists and opens, but every read fails, even for root.
        path = dir.filePath("unreadable.bin");
        QVERIFY(QFile::link("/proc/self/mem", path));
    }
    QVERIFY(!path.isEmpty());

    ServiceWindow sw;
    const auto before = emu::externalFlash();
    DebugCapture capture;
    ModalDriver d;
    d.file(path).ok();
    sw.window().slotpushButtonWriteExtFlashBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), 2);
    QCOMPARE(d.seen().at(0), QString("QFileDialog|Open File|Bin (*.bin)"));
    QCOMPARE(d.seen().at(1), text.contains("%1") ? text.arg(path) : text);
    QVERIFY(emu::transferLog().empty());
    QVERIFY(emu::externalFlash() == before);
    QVERIFY(!capture.lines().isEmpty());
    QCOMPARE(capture.lines().first(),
        QString("Darvo_bootloader::slotpushButtonWriteExtFlashBin(bool t)"));
    QCOMPARE(capture.lines().last(),
        size < 0 ? QString("read error") : QString("length error %1").arg(size));
}

void TestExtFlash::fileWritesAndVerifies_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("one word") << 4;
    QTest::newRow("odd chunks") << 1300;
    QTest::newRow("whole flash") << 1048576;
}

void TestExtFlash::fileWritesAndVerifies()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    const auto plain = kelto::test::counting(std::size_t(size), 11);
    const QString path = writeFile(dir, "image.bin", toBytes(plain));
    QVERIFY(!path.isEmpty());

    ServiceWindow sw;
    BarTrace trace(sw.bar(writeBar), sw.bar(readBar));
    ModalDriver d;
    d.file(path).ok();
    sw.window().slotpushButtonWriteExtFlashBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().value(1), QString("QMessageBox|Info|Write OK"));

    // The flash holds the file's bytes in the image encoding, from address 0.
    QVERIFY(extBytes(0, std::size_t(size)) == encoded(plain));

    const auto log = emu::transferLog();
    std::size_t writes = 0;
    std::size_t reads = 0;
    uint32_t next = 0;
    for (const auto &r : log) {
        if (r.request == 6) {
            QCOMPARE(reads, std::size_t(0)); // every write before the first read
            QCOMPARE(uint32_t(r.value) | uint32_t(r.index) << 16, next);
            QCOMPARE(r.lengthAsked, std::min(256, size - int(next)));
            next += uint32_t(r.lengthAsked);
            ++writes;
        } else if (r.request == 5) {
            QCOMPARE(r.lengthAsked, std::min(512, size - int(reads) * 512));
            ++reads;
        }
    }
    QCOMPARE(writes, std::size_t((size + 255) / 256));
    QCOMPARE(reads, std::size_t((size + 511) / 512));

    // The write bar runs up to 100 first, then the verify bar.
    const auto firstRead = std::find_if(trace.events.begin(), trace.events.end(),
        [](const std::pair<char, int> &e) { return e.first == 'R'; });
    QVERIFY(firstRead != trace.events.begin() && firstRead != trace.events.end());
    QVERIFY(std::all_of(firstRead, trace.events.end(),
        [](const std::pair<char, int> &e) { return e.first == 'R'; }));
    QCOMPARE((firstRead - 1)->second, 100);
    QCOMPARE(trace.events.back().second, 100);
    QVERIFY(std::is_sorted(trace.events.begin(), firstRead));
    QVERIFY(std::is_sorted(firstRead, trace.events.end()));
    if (size == 1048576) {
        // 4096 and 2048 chunks: every percentage from 0 to 100 shows on each.
        QCOMPARE(firstRead - trace.events.begin(), 101);
        QCOMPARE(trace.events.end() - firstRead, 101);
    }
}

void TestExtFlash::fileReadBackDiffers()
{
    QTemporaryDir dir;
    const auto plain = kelto::test::counting(4096, 2);
    const QString path = writeFile(dir, "image.bin", toBytes(plain));
    ServiceWindow sw;

    emu::Fault f;
    f.kind = emu::FaultKind::Corrupt;
    f.request = 5;
    f.nth = 3;
    f.byteOffset = 100;
    f.xorMask = 0x10;
    emu::injectFault(f);

    ModalDriver d;
    d.file(path).ok();
    sw.window().slotpushButtonWriteExtFlashBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().value(1), QString("QMessageBox|Error|memcmp"));
    // Only the reply was damaged: the written data stays in place.
    QVERIFY(extBytes(0, 4096) == encoded(plain));
}

void TestExtFlash::fileTransferFails_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<QString>("box");
    QTest::newRow("write") << 6 << "QMessageBox|Error|WriteExternalFlashToAddress";
    QTest::newRow("read-back") << 5 << "QMessageBox|Error|ReadExternalFlashFromAddress";
}

void TestExtFlash::fileTransferFails()
{
    QFETCH(int, request);
    QFETCH(QString, box);
    QTemporaryDir dir;
    const QString path = writeFile(dir, "image.bin", toBytes(kelto::test::counting(1024, 4)));
    ServiceWindow sw;
    // More failures than one call absorbs.
    emu::Fault f;
    f.request = request;
    f.count = 101;
    emu::injectFault(f);

    ModalDriver d;
    d.file(path).ok();
    sw.window().slotpushButtonWriteExtFlashBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), 2);
    QCOMPARE(d.seen().at(1), box);
    if (request == 6)
        QVERIFY(emu::transferLog(5).empty());
}

void TestExtFlash::fileDialogCancelled()
{
    ServiceWindow sw;
    ModalDriver d;
    d.cancel();
    sw.window().slotpushButtonWriteExtFlashBin(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), 1);
    QVERIFY(emu::transferLog().empty());
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestExtFlash::progressFollowsSettingsTab_data()
{
    QTest::addColumn<bool>("viaTabs");
    QTest::addColumn<QList<int>>("indices");
    QTest::addColumn<int>("connections");
    QTest::newRow("as constructed") << false << QList<int>() << 1;
    QTest::newRow("Settings, Page, Settings") << true << QList<int>({1, 0}) << 1;
    QTest::newRow("back and forth") << true << QList<int>({1, 0, 1, 0, 1, 0}) << 1;
    QTest::newRow("Page") << false << QList<int>({1}) << 0;
    QTest::newRow("index 2") << false << QList<int>({2}) << 0;
    QTest::newRow("Page, then 2") << false << QList<int>({1, 2}) << 0;
    QTest::newRow("Settings again") << false << QList<int>({0}) << 1;
    QTest::newRow("Page, Settings twice") << false << QList<int>({1, 0, 0}) << 1;
    QTest::newRow("no tab") << false << QList<int>({-1}) << 1;
    QTest::newRow("index 3") << false << QList<int>({3}) << 1;
    QTest::newRow("Page, then 7") << false << QList<int>({1, 7}) << 0;
}

void TestExtFlash::progressFollowsSettingsTab()
{
    QFETCH(bool, viaTabs);
    QFETCH(QList<int>, indices);
    QFETCH(int, connections);
    ServiceWindow sw;
    auto *tabs = sw.window().findChild<QTabWidget *>("tabWidget");
    for (int i : indices) {
        if (viaTabs)
            tabs->setCurrentIndex(i);
        else
            sw.window().slotTabChange(i);
    }

    // One fill of 256 bytes and one read of 512 bytes emit one progress
    // value each; every connection delivers it once.
    Deliveries wr(sw.bar(writeBar));
    Deliveries rd(sw.bar(readBar));
    ModalDriver d;
    d.inputText("0x0").inputInt(256).inputText("0x12");
    d.inputText("0x0").inputInt(512);
    sw.window().slotpushButtonWriteExternalFlash(false);
    sw.window().slotpushButtonReadExternalFlash(false);
    QVERIFY(d.finished());
    QCOMPARE(emu::transferLog(6).size(), std::size_t(1));
    QCOMPARE(emu::transferLog(5).size(), std::size_t(1));
    QCOMPARE(wr.count, connections);
    QCOMPARE(rd.count, connections);
}

QTEST_MAIN(TestExtFlash)
#include "tst_extflash.moc"
