// The connection and memory commands of the window, driven through their
// real dialogs against the emulated converter.
//
// The read and page-write commands remember their last values in
// function-local statics for the life of the process, so the test functions
// below depend on their order (Qt Test runs them as declared): the first
// read and the first page write must come first, and later cases state the
// defaults they expect from the cases before them.
#include "darvo_bootloader.h"
#include "debugcapture.h"
#include "dumpbuffer.h"
#include "emulator.h"
#include "imagecodec.h"
#include "modaldriver.h"
#include "servicewindow.h"

#include <QInputDialog>
#include <QMessageBox>
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

std::vector<unsigned char> flashBytes(uint32_t address, std::size_t length)
{
    const std::vector<uint8_t> all = emu::flash();
    const std::size_t offset = address - emu::flashBase;
    return std::vector<unsigned char>(all.begin() + static_cast<std::ptrdiff_t>(offset),
        all.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// What a read puts in the log: an empty line and the header before the rows.
void verifyDumpInLog(const ServiceWindow &sw, const QStringList &rows)
{
    const QStringList lines = sw.txtLines();
    QCOMPARE(lines.size(), rows.size() + 2);
    QCOMPARE(lines.at(0), QString());
    QVERIFY2(lines.at(1).startsWith(" src address: 0x"), qPrintable(lines.at(1)));
    QCOMPARE(dumpRows(sw.txt()->toPlainText()), rows);
}

// The emulated device keeps only its flash; memory elsewhere (RAM at
// 0x20000000, or 1 MiB in one read) is answered from a script instead: the
// device is connected first, then every request 1 takes the next chunk of
// `plain`, encoded as the device sends memory.
void scriptMemory(ServiceWindow &sw, const std::vector<unsigned char> &plain)
{
    sw.window().slotpushButtonConnect(false);
    std::vector<emu::ScriptedReply> replies;
    for (std::size_t at = 0; at < plain.size(); at += 2048) {
        const std::size_t n = std::min<std::size_t>(2048, plain.size() - at);
        emu::ScriptedReply r;
        r.result = int(n);
        r.data.assign(plain.begin() + std::ptrdiff_t(at), plain.begin() + std::ptrdiff_t(at + n));
        encodeImage(r.data.data(), uint32_t(n));
        replies.push_back(std::move(r));
    }
    emu::clearTransferLog();
    emu::scriptReplies(replies);
}

bool hasSlotTrace(const QStringList &lines)
{
    return std::any_of(lines.begin(), lines.end(),
        [](const QString &l) { return l.startsWith("Darvo_bootloader::"); });
}

} // namespace

class TestMemory : public QObject
{
    Q_OBJECT

private slots:
    // Read: order matters, see the top of the file.
    void readFirstOffersDefaultsThenRemembers();
    void readCancelChangesNothing_data();
    void readCancelChangesNothing();
    void readShowsDeviceMemory_data();
    void readShowsDeviceMemory();
    void readLargestLengthInChunks();
    void readAcceptsHexForms_data();
    void readAcceptsHexForms();
    void readNonHexWarnsAndForgetsAddress_data();
    void readNonHexWarnsAndForgetsAddress();
    void readFailureIsReported_data();
    void readFailureIsReported();

    void connectReports_data();
    void connectReports();
    void disconnectWritesOnlyItsLines_data();
    void disconnectWritesOnlyItsLines();

    void writeSendsTestPattern();
    void writeFailureDumpsNothing_data();
    void writeFailureDumpsNothing();

    // WritePage: order matters as well.
    void writePageFillsPage_data();
    void writePageFillsPage();
    void writePageRefused_data();
    void writePageRefused();
    void writePageCancelWritesNothing();

    void runApplicationSwitchesModeAndReconnects_data();
    void runApplicationSwitchesModeAndReconnects();
    void runApplicationDeviceNotBackYet();
};

void TestMemory::readFirstOffersDefaultsThenRemembers()
{
    ServiceWindow sw;
    const auto ram = kelto::test::counting(4096, 7);
    scriptMemory(sw, ram);
    ModalDriver d;
    d.inputText("0x20000000").inputInt(4096);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());
    QCOMPARE(emu::scriptedRepliesLeft(), std::size_t(0));
    verifyDumpInLog(sw, dumpRows(ram));
    QCOMPARE(d.seen(),
        QStringList({"QInputDialog|Read From Mirel|Address (hex)",
            "QInputDialog|Read From Mirel|Length (dec)"}));
    QCOMPARE(d.offered(), QStringList({"0x8000000", "256"}));

    const auto reads = emu::transferLog(1);
    QCOMPARE(reads.size(), std::size_t(2));
    QCOMPARE(reads[0].value, uint16_t(0x0000));
    QCOMPARE(reads[0].index, uint16_t(0x2000));
    QCOMPARE(reads[0].lengthAsked, 2048);
    QCOMPARE(reads[1].value, uint16_t(0x0800));
    QCOMPARE(reads[1].index, uint16_t(0x2000));
    QCOMPARE(reads[1].lengthAsked, 2048);

    ModalDriver next;
    next.inputText("0x20000000").cancel();
    sw.window().slotpushButtonRead(false);
    QVERIFY(next.finished());
    QCOMPARE(next.offered(), QStringList({"0x20000000", "4096"}));
}

void TestMemory::readCancelChangesNothing_data()
{
    QTest::addColumn<bool>("cancelAddress");
    QTest::newRow("address dialog") << true;
    QTest::newRow("length dialog") << false;
}

void TestMemory::readCancelChangesNothing()
{
    QFETCH(bool, cancelAddress);
    ServiceWindow sw;
    sw.txt()->setPlainText("before");
    DebugCapture capture;
    {
        ModalDriver d;
        if (cancelAddress)
            d.custom([](QWidget *w) {
                // Typed but not accepted.
                auto *in = qobject_cast<QInputDialog *>(w);
                in->setTextValue("0x1234");
                in->reject();
            });
        else
            d.inputText("0x1234").custom([](QWidget *w) {
                auto *in = qobject_cast<QInputDialog *>(w);
                in->setIntValue(8);
                in->reject();
            });
        sw.window().slotpushButtonRead(false);
        QVERIFY(d.finished());
    }
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(sw.txt()->toPlainText(), QString("before"));
    QCOMPARE(capture.lines(), QStringList({"Darvo_bootloader::slotpushButtonRead(bool t)"}));

    // The values of the last accepted read are still offered.
    ModalDriver again;
    again.inputText("x").cancel();
    sw.window().slotpushButtonRead(false);
    QVERIFY(again.finished());
    QCOMPARE(again.offered(), QStringList({"0x20000000", "4096"}));
}

void TestMemory::readShowsDeviceMemory_data()
{
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<int>("length");
    QTest::newRow("one byte") << 0x08000000u << 1;
    QTest::newRow("short row") << 0x08004100u << 21;
    QTest::newRow("three chunks") << 0x08004000u << 5000;
    QTest::newRow("bootloader facts") << 0x08003FD0u << 48;
}

void TestMemory::readShowsDeviceMemory()
{
    QFETCH(uint32_t, address);
    QFETCH(int, length);
    ServiceWindow sw;
    // Something recognisable where it is read, so a dump of the wrong place,
    // or of undecoded bytes, cannot pass.
    if (address >= emu::applicationBase)
        emu::writeFlash(address, kelto::test::counting(std::size_t(length), 3));
    sw.txt()->setPlainText("old log");

    ModalDriver d;
    d.inputText(QString("0x%1").arg(address, 0, 16)).inputInt(length);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());

    verifyDumpInLog(sw, dumpRows(flashBytes(address, std::size_t(length))));
    const auto reads = emu::transferLog(1);
    QCOMPARE(reads.size(), std::size_t((length + 2047) / 2048));
    QCOMPARE(reads.front().value, uint16_t(address & 0xFFFF));
    QCOMPARE(reads.front().index, uint16_t(address >> 16));
}

void TestMemory::readLargestLengthInChunks()
{
    ServiceWindow sw;
    const auto plain = kelto::test::counting(1048576, 13);
    scriptMemory(sw, plain);
    ModalDriver d;
    d.inputText("0x8000000").inputInt(1048576);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());
    QCOMPARE(emu::scriptedRepliesLeft(), std::size_t(0));

    const auto reads = emu::transferLog(1);
    QCOMPARE(reads.size(), std::size_t(512));
    uint32_t expected = 0x08000000;
    for (const auto &r : reads) {
        QCOMPARE(r.lengthAsked, 2048);
        QCOMPARE(uint32_t(r.value) | uint32_t(r.index) << 16, expected);
        expected += 2048;
    }
    // Each chunk decoded on its own: the whole megabyte reads back plain.
    verifyDumpInLog(sw, dumpRows(plain));
}

void TestMemory::readAcceptsHexForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint32_t>("address");
    QTest::addColumn<QString>("offeredNext");
    QTest::newRow("prefix") << "0x8004010" << 0x08004010u << "0x8004010";
    QTest::newRow("no prefix") << "8004020" << 0x08004020u << "0x8004020";
    QTest::newRow("upper case digits") << "0x0800ABC0" << 0x0800ABC0u << "0x800abc0";
    QTest::newRow("leading zeros") << "0x0008004000" << 0x08004000u << "0x8004000";
    QTest::newRow("zero") << "0" << 0u << "0x0";
}

void TestMemory::readAcceptsHexForms()
{
    QFETCH(QString, text);
    QFETCH(uint32_t, address);
    QFETCH(QString, offeredNext);
    ServiceWindow sw;
    ModalDriver d;
    d.inputText(text).inputInt(4);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen().size(), 2); // no warning

    const auto reads = emu::transferLog(1);
    QCOMPARE(reads.size(), std::size_t(1));
    QCOMPARE(reads[0].value, uint16_t(address & 0xFFFF));
    QCOMPARE(reads[0].index, uint16_t(address >> 16));
    QCOMPARE(reads[0].lengthAsked, 4);

    ModalDriver next;
    next.cancel();
    sw.window().slotpushButtonRead(false);
    QVERIFY(next.finished());
    QCOMPARE(next.offered(), QStringList({offeredNext}));
}

void TestMemory::readNonHexWarnsAndForgetsAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("letters") << "xyz";
    QTest::newRow("empty") << "";
    QTest::newRow("prefix only") << "0x";
    QTest::newRow("wider than 32 bits") << "0x100000000";
    QTest::newRow("negative") << "-1";
    QTest::newRow("decimal point") << "0x10.5";
}

void TestMemory::readNonHexWarnsAndForgetsAddress()
{
    QFETCH(QString, text);
    ServiceWindow sw;
    {
        // A remembered address other than 0 to begin with.
        ModalDriver first;
        first.inputText("0x8000100").inputInt(16);
        sw.window().slotpushButtonRead(false);
        QVERIFY(first.finished());
    }
    emu::clearTransferLog();
    sw.txt()->setPlainText("kept");

    // Every dialog and the warning belong to the window.
    QList<QWidget *> parents;
    auto parentThen = [&parents](std::function<void(QWidget *)> step) {
        return [&parents, step](QWidget *w) {
            parents << w->parentWidget();
            step(w);
        };
    };
    ModalDriver d;
    d.custom(parentThen([text](QWidget *w) {
         auto *in = qobject_cast<QInputDialog *>(w);
         in->setTextValue(text);
         in->accept();
     }))
        .custom(parentThen([](QWidget *w) {
            auto *in = qobject_cast<QInputDialog *>(w);
            in->setIntValue(32);
            in->accept();
        }))
        .custom(parentThen([](QWidget *w) { qobject_cast<QMessageBox *>(w)->accept(); }));
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());
    QCOMPARE(parents, QList<QWidget *>(3, &sw.window()));
    QCOMPARE(d.seen().size(), 3);
    QCOMPARE(d.seen().at(2), conversionError);
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(sw.txt()->toPlainText(), QString("kept"));

    // The failed text leaves address 0; the length was accepted before it.
    ModalDriver next;
    next.inputText("0x0").cancel();
    sw.window().slotpushButtonRead(false);
    QVERIFY(next.finished());
    QCOMPARE(next.offered(), QStringList({"0x0", "32"}));
}

void TestMemory::readFailureIsReported_data()
{
    QTest::addColumn<bool>("deviceThere");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("goodBytes");
    QTest::newRow("no device") << false << 64 << 0;
    QTest::newRow("second chunk refused") << true << 4096 << 2048;
}

void TestMemory::readFailureIsReported()
{
    QFETCH(bool, deviceThere);
    QFETCH(int, length);
    QFETCH(int, goodBytes);
    ServiceWindow sw;
    const uint32_t address = 0x08006000;
    emu::writeFlash(address, kelto::test::counting(std::size_t(length), 9));
    if (deviceThere)
        emu::failTransfer(2, 1);
    else
        emu::removeAllDevices();

    ModalDriver d;
    d.inputText("0x8006000").inputInt(length);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());

    // What came is shown, the rest is zero, and the last line says that the
    // read did not succeed.
    std::vector<unsigned char> expected(std::size_t(length), 0);
    const auto good = flashBytes(address, std::size_t(goodBytes));
    std::copy(good.begin(), good.end(), expected.begin());
    QStringList lines = sw.txtLines();
    QCOMPARE(lines.takeLast(), QString("Read ERROR"));
    QCOMPARE(dumpRows(lines.join('\n')), dumpRows(expected));
}

void TestMemory::connectReports_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("handles");
    QTest::newRow("device present") << 0 << "Connect OK" << 1;
    QTest::newRow("no device") << 1 << "Connect ERROR" << 0;
    QTest::newRow("wrong identity") << 2 << "Connect ERROR" << 0;
}

void TestMemory::connectReports()
{
    QFETCH(int, setup);
    QFETCH(QString, line);
    QFETCH(int, handles);
    ServiceWindow sw;
    if (setup == 1)
        emu::removeAllDevices();
    if (setup == 2) {
        emu::DeviceConfig c = emu::config();
        c.zvid = 0x00FE;
        emu::configure(c);
    }
    DebugCapture capture;
    sw.window().slotpushButtonConnect(false);
    const QStringList lines = capture.lines();
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first(), QString("Darvo_bootloader::slotpushButtonConnect(bool t)"));
    QCOMPARE(lines.last(), line);
    QCOMPARE(sw.txtLines(), QStringList({line}));
    if (setup != 1)
        QCOMPARE(emu::openHandles(), handles);
}

void TestMemory::disconnectWritesOnlyItsLines_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("closed device") << false;
    QTest::newRow("open device") << true;
}

void TestMemory::disconnectWritesOnlyItsLines()
{
    QFETCH(bool, open);
    ServiceWindow sw;
    if (open) {
        sw.window().slotpushButtonConnect(false);
        QCOMPARE(emu::openHandles(), 1);
        sw.txt()->clear();
    }
    emu::clearTransferLog();
    DebugCapture capture;
    sw.window().slotpushButtonDisconnect(false);
    QCOMPARE(capture.lines(),
        QStringList({"USB Disconnect", "Darvo_bootloader::slotpushButtonDisconnect(bool t)"}));
    QVERIFY(sw.txt()->toPlainText().isEmpty());
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(emu::openHandles(), 0);
}

void TestMemory::writeSendsTestPattern()
{
    ServiceWindow sw;
    DebugCapture capture;
    sw.window().slotpushButtonWrite(false);

    const auto sends = emu::transferLog(2);
    QCOMPARE(sends.size(), std::size_t(1));
    QCOMPARE(sends[0].direction, emu::Direction::Out);
    QCOMPARE(sends[0].requestType, uint8_t(0x40));
    QCOMPARE(sends[0].value, uint16_t(0));
    QCOMPARE(sends[0].index, uint16_t(0));
    QCOMPARE(sends[0].lengthAsked, 512);
    QCOMPARE(sends[0].lengthReturned, 512);

    // The debug output carries the bytes sent as one quoted item: 00..ff
    // twice. Rebuild that item from the pattern with the address the slot
    // printed, and quote it the way the debug stream does.
    const QStringList lines = capture.lines();
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines.first(), QString("Darvo_bootloader::slotpushButtonWrite(bool t)"));
    const QString item = lines.last();
    const QRegularExpressionMatch m
        = QRegularExpression("^\"\\\\n src address: (0x[0-9a-f]{8,16})\\\\n").match(item);
    QVERIFY2(m.hasMatch(), qPrintable(item.left(60)));
    std::vector<unsigned char> pattern(512);
    for (int i = 0; i < 512; ++i)
        pattern[std::size_t(i)] = static_cast<unsigned char>(i);
    const QStringList rows = dumpRows(pattern);
    QCOMPARE(rows.size(), 32);
    QCOMPARE(rows.at(16).left(20), QString("0x0100: 00 01 02 03 "));
    QString quoted;
    QDebug(&quoted) << ("\n src address: " + m.captured(1) + "\n" + rows.join('\n'));
    QCOMPARE(item, quoted.trimmed());
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestMemory::writeFailureDumpsNothing_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("no device") << 0;
    QTest::newRow("refused") << 1;
    QTest::newRow("short") << 2;
}

void TestMemory::writeFailureDumpsNothing()
{
    QFETCH(int, fault);
    ServiceWindow sw;
    if (fault == 0)
        emu::removeAllDevices();
    if (fault == 1)
        emu::failTransfer(1, 2);
    if (fault == 2)
        emu::shortTransfer(1, 100, 2);
    DebugCapture capture;
    sw.window().slotpushButtonWrite(false);
    for (const QString &l : capture.lines())
        QVERIFY2(!l.contains("src address"), qPrintable(l));
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestMemory::writePageFillsPage_data()
{
    QTest::addColumn<int>("pattern");
    QTest::addColumn<QString>("offered");
    // Each row offers the pattern of the row before it.
    QTest::newRow("0xff first") << 255 << "0";
    QTest::newRow("zero") << 0 << "255";
    QTest::newRow("0x5a") << 0x5A << "0";
}

void TestMemory::writePageFillsPage()
{
    QFETCH(int, pattern);
    QFETCH(QString, offered);
    ServiceWindow sw;
    emu::setMode(emu::Mode::Bootloader);
    const auto before = emu::flash();

    DebugCapture capture;
    ModalDriver d;
    d.inputInt(pattern);
    sw.window().slotpushButtonWritePage(false);
    QVERIFY(d.finished());
    QCOMPARE(d.seen(), QStringList({"QInputDialog|Fill pattern|Number (dec)"}));
    QCOMPARE(d.offered(), QStringList({offered}));

    const auto sends = emu::transferLog(3);
    QCOMPARE(sends.size(), std::size_t(1));
    QCOMPARE(sends[0].value, uint16_t(0x5000));
    QCOMPARE(sends[0].index, uint16_t(0x0800));
    QCOMPARE(sends[0].lengthAsked, 2048);

    // The emulator stores what it decodes from the wire: the page holds the
    // plain pattern only if it travelled encoded. Nothing else changed.
    auto after = emu::flash();
    const std::size_t page = 0x5000;
    for (std::size_t i = page; i < page + 2048; ++i)
        QCOMPARE(int(after[i]), pattern);
    std::copy(before.begin() + page, before.begin() + page + 2048, after.begin() + page);
    QVERIFY(after == before);

    QVERIFY(!capture.lines().isEmpty());
    QVERIFY(capture.lines().contains("page write OK"));
    QCOMPARE(capture.lines().first(), QString("Darvo_bootloader::slotpushButtonWritePage(bool t)"));
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestMemory::writePageRefused_data()
{
    QTest::addColumn<bool>("deviceThere");
    QTest::newRow("application running") << true;
    QTest::newRow("no device") << false;
}

void TestMemory::writePageRefused()
{
    QFETCH(bool, deviceThere);
    ServiceWindow sw;
    const auto before = emu::flash();
    if (!deviceThere)
        emu::removeAllDevices();
    DebugCapture capture;
    ModalDriver d;
    d.inputInt(0x11);
    sw.window().slotpushButtonWritePage(false);
    QVERIFY(d.finished());
    QVERIFY(!capture.lines().isEmpty());
    QCOMPARE(capture.lines().last(), QString("page write ERROR"));
    QVERIFY(!capture.lines().contains("page write OK"));
    if (deviceThere)
        QVERIFY(emu::flash() == before);
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestMemory::writePageCancelWritesNothing()
{
    ServiceWindow sw;
    emu::setMode(emu::Mode::Bootloader);
    const auto before = emu::flash();
    for (int i = 0; i < 2; ++i) {
        ModalDriver d;
        d.custom([](QWidget *w) {
            auto *in = qobject_cast<QInputDialog *>(w);
            in->setIntValue(0x77);
            in->reject();
        });
        sw.window().slotpushButtonWritePage(false);
        QVERIFY(d.finished());
        // The last accepted pattern (0x11, refused by the device) stays.
        QCOMPARE(d.offered(), QStringList({"17"}));
    }
    QVERIFY(emu::transferLog(3).empty());
    QVERIFY(emu::flash() == before);
}

void TestMemory::runApplicationSwitchesModeAndReconnects_data()
{
    QTest::addColumn<bool>("fromBootloader");
    QTest::newRow("application to bootloader") << false;
    QTest::newRow("bootloader to application") << true;
}

void TestMemory::runApplicationSwitchesModeAndReconnects()
{
    QFETCH(bool, fromBootloader);
    ServiceWindow sw;
    if (fromBootloader)
        emu::setMode(emu::Mode::Bootloader);
    DebugCapture capture;
    sw.window().slotpushButtonRunApplication(false);

    QCOMPARE(emu::mode(), fromBootloader ? emu::Mode::Application : emu::Mode::Bootloader);
    QCOMPARE(emu::openHandles(), 1);
    QCOMPARE(QByteArray::fromStdString(emu::reportedSerial()).endsWith('b'), !fromBootloader);

    // Request 4 goes first; the identity check of the reconnect after it.
    const auto log = emu::transferLog();
    const auto run = std::find_if(log.begin(), log.end(), [](const emu::TransferRecord &r) {
        return r.request == 4 && r.direction == emu::Direction::Out;
    });
    QVERIFY(run != log.end());
    QVERIFY(
        std::any_of(run, log.end(), [](const emu::TransferRecord &r) { return r.request == 255; }));
    QVERIFY(!hasSlotTrace(capture.lines()));
    QVERIFY(sw.txt()->toPlainText().isEmpty());
}

void TestMemory::runApplicationDeviceNotBackYet()
{
    ServiceWindow sw;
    emu::Timing t;
    t.reenumerationMs = 1200;
    emu::setTiming(t);
    sw.window().slotpushButtonRunApplication(false);
    QCOMPARE(emu::openHandles(), 0);
    QVERIFY(sw.txt()->toPlainText().isEmpty());

    // Once it is back, the next command finds it by itself.
    emu::advance(1200);
    emu::clearTransferLog();
    ModalDriver d;
    d.inputText("0x8000000").inputInt(16);
    sw.window().slotpushButtonRead(false);
    QVERIFY(d.finished());
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    QCOMPARE(emu::transferLog(1).size(), std::size_t(1));
    QVERIFY(!sw.txtLines().contains("Read ERROR"));
}

QTEST_MAIN(TestMemory)
#include "tst_memory.moc"
