// One upgrade per way a run can end, against the emulated converter in
// virtual time: what the operator reads, the progress, the fixed waits, the
// transfers and what the device holds afterwards.
#include "upgraderig.h"

#include "dumpbuffer.h"
#include "emulator.h"

#include <QTest>

using namespace kelto::test;
namespace emu = kelto::emu;

Q_DECLARE_METATYPE(emu::Fault)

namespace {

using SleepList = std::vector<unsigned long>;

int count(uint8_t request)
{
    return int(emu::transferLog(request).size());
}

// Index of the last transfer with the request code, -1 if none.
int lastIndexOf(uint8_t request)
{
    const auto log = emu::transferLog();
    for (int i = int(log.size()) - 1; i >= 0; --i)
        if (log[size_t(i)].requestType != 0x80 && log[size_t(i)].request == request)
            return i;
    return -1;
}

int lastPageWriteIndex()
{
    return lastIndexOf(3);
}

std::vector<uint8_t> descriptorFor(const QByteArray &text)
{
    std::vector<uint8_t> d {uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    return d;
}

emu::Fault fault(emu::FaultKind kind, int request, unsigned nth, unsigned count = 1)
{
    emu::Fault f;
    f.kind = kind;
    f.request = request;
    f.nth = nth;
    f.count = count;
    return f;
}

QStringList head(const QString &file, bool fromApplication)
{
    // The lines up to and including "Writting firmware ... ".
    QStringList t = successTexts(file, fromApplication);
    return t.mid(0, t.indexOf("Writting firmware ... ") + 1);
}

QList<int> percentsUpTo(int pages)
{
    return successPercents().mid(0, pages + 1);
}

} // namespace

class TestUpgrader : public QObject
{
    Q_OBJECT

private slots:
    void nullNameDoesNothing();
    void brokenFilesTouchNoDevice_data();
    void brokenFilesTouchNoDevice();
    void connectRetries_data();
    void connectRetries();
    void versionReadError_data();
    void versionReadError();
    void unknownSerialEndsRun_data();
    void unknownSerialEndsRun();
    void deviceNotBackInBootloader_data();
    void deviceNotBackInBootloader();
    void reEnumerationWaitsInSteps();
    void pageWriteFailureEnds_data();
    void pageWriteFailureEnds();
    void unverifiedPageStopsBeforeExternalFlash_data();
    void unverifiedPageStopsBeforeExternalFlash();
    void externalFlashFailure_data();
    void externalFlashFailure();
    void externalMismatchDumpsBoth();
    void failurePathsEndInSeconds_data();
    void failurePathsEndInSeconds();
    void waitsEndOnStopOrInTime_data();
    void waitsEndOnStopOrInTime();
    void success_data();
    void success();
    void skipUnchanged_data();
    void skipUnchanged();
    void restartedIntoApplicationIsLeftRunning();
    void staysOnTheUnitItIdentified();
    void runsAgainWithNewName();
    void constructorAndDestructorTrace();
};

void TestUpgrader::nullNameDoesNothing()
{
    UpgradeRig rig;
    QVERIFY(rig.run(QString()));
    QVERIFY(rig.recorder.texts().isEmpty());
    QVERIFY(rig.recorder.percents().isEmpty());
    QVERIFY(emu::transferLog().empty());
    QVERIFY(Sleeps::taken().empty());
    QCOMPARE(DebugLog::count("Start firmware upgrade"), 0);
}

void TestUpgrader::brokenFilesTouchNoDevice_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<QString>("expected");
    // An empty header means: no file at all.
    QTest::newRow("missing file") << QString() << QString() << 0 << "Wrong file header";
    QTest::newRow("other product") << "Kelto Upgrade File Headex"
                                   << "03" << 0x60000 << "Wrong file header";
    QTest::newRow("header with blank") << "Kelto Upgrade File Header "
                                       << "03" << 0x60000 << "Wrong file header";
    QTest::newRow("version 02") << "Kelto Upgrade File Header"
                                << "02" << 0x60000 << "Wrong file version";
    QTest::newRow("version 3") << "Kelto Upgrade File Header"
                               << "3" << 0x60000 << "Wrong file version";
    QTest::newRow("empty image block") << "Kelto Upgrade File Header"
                                       << "03" << 0 << "Wrong file header";
    QTest::newRow("image one byte short") << "Kelto Upgrade File Header"
                                          << "03" << 0x5FFFF << "Wrong file header";
    // A whole file of noise: its checksums cannot match, and the bootloader
    // would never start what it holds.
    QTest::newRow("findings") << "Kelto Upgrade File Header"
                              << "03" << 0x60000 << "File refused: checksum A is 0x";
}

void TestUpgrader::brokenFilesTouchNoDevice()
{
    QFETCH(QString, header);
    QFETCH(QString, version);
    QFETCH(int, blockSize);
    QFETCH(QString, expected);
    UpgradeRig rig;
    const QString file = rig.path("broken.upg");
    if (!header.isNull())
        QVERIFY(writeRawUpgradeFile(file, header, version, QByteArray(blockSize, '\x5a')));
    QVERIFY(rig.run(file));
    const QStringList texts = rig.recorder.texts();
    QCOMPARE(texts.size(), 2);
    QCOMPARE(texts.at(0), file);
    QVERIFY2(texts.at(1).startsWith(expected), qPrintable(texts.at(1)));
    QVERIFY(rig.recorder.percents().isEmpty());
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(emu::openHandles(), 0);
    QVERIFY(Sleeps::taken().empty());
}

void TestUpgrader::connectRetries_data()
{
    QTest::addColumn<unsigned>("failures");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("first attempt") << 0u << true;
    QTest::newRow("second attempt") << 1u << true;
    QTest::newRow("fourth attempt") << 3u << true;
    QTest::newRow("four failures") << 4u << false;
    QTest::newRow("device never answers") << 1000u << false;
}

void TestUpgrader::connectRetries()
{
    QFETCH(unsigned, failures);
    QFETCH(bool, succeeds);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    // A failed identity request makes the connect procedure give up.
    if (failures)
        emu::injectFault(fault(emu::FaultKind::Error, 255, 1, failures));
    QVERIFY(rig.run(file));
    const unsigned retries = std::min(failures, 3u);
    SleepList waits(retries, 200);
    QCOMPARE(DebugLog::count("usb->connect()\nmssleep(200)"), int(retries));
    if (succeeds) {
        waits.insert(waits.end(), {2000, 500, 1000});
        QCOMPARE(rig.recorder.texts(), successTexts(file, true));
        QVERIFY(deviceHasFirmware(rig.firmware));
    } else {
        // No fourth wait after the last attempt.
        QCOMPARE(rig.recorder.texts(), QStringList({file, "USB Timeout\nCheck USB Cable"}));
        QCOMPARE(rig.recorder.percents(), QList<int> {0});
        QCOMPARE(count(255), 4);
        QCOMPARE(count(1), 0);
    }
    QCOMPARE(Sleeps::taken(), waits);
}

void TestUpgrader::versionReadError_data()
{
    QTest::addColumn<emu::Fault>("f");
    QTest::newRow("refused") << fault(emu::FaultKind::Error, 1, 1);
    QTest::newRow("timeout") << [] {
        emu::Fault f = fault(emu::FaultKind::Error, 1, 1);
        f.error = emu::errTimeout;
        return f;
    }();
    QTest::newRow("short") << [] {
        emu::Fault f = fault(emu::FaultKind::Short, 1, 1);
        f.shortCount = 31;
        return f;
    }();
}

void TestUpgrader::versionReadError()
{
    QFETCH(emu::Fault, f);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::injectFault(f);
    QVERIFY(rig.run(file));
    QCOMPARE(
        rig.recorder.texts(), QStringList({file, "KT0000001", "Bootloader Version Read Error"}));
    QCOMPARE(count(4), 0);
    QCOMPARE(count(3), 0);
    QCOMPARE(emu::mode(), emu::Mode::Application);
}

void TestUpgrader::unknownSerialEndsRun_data()
{
    QTest::addColumn<QByteArray>("serial");
    QTest::newRow("ten, not b") << QByteArray("KT0000001x");
    QTest::newRow("eight") << QByteArray("KT000000");
    QTest::newRow("eleven with b tenth") << QByteArray("KT0000001bb");
    QTest::newRow("empty") << QByteArray();
}

void TestUpgrader::unknownSerialEndsRun()
{
    QFETCH(QByteArray, serial);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::DeviceConfig c = emu::config();
    if (serial.isEmpty())
        c.serialDescriptorError = emu::errStall;
    else
        c.serialDescriptor = descriptorFor(serial);
    emu::configure(c);
    QVERIFY(rig.run(file));
    const QString s = QString::fromLatin1(serial);
    QCOMPARE(rig.recorder.texts(), QStringList({file, s, "KBL 2.04", "Serial:" + s}));
    QCOMPARE(count(4), 0);
    QCOMPARE(count(3), 0);
    // The device is left connected.
    QCOMPARE(emu::openHandles(), 1);
}

void TestUpgrader::deviceNotBackInBootloader_data()
{
    QTest::addColumn<bool>("staysAway");
    QTest::newRow("never back on the bus") << true;
    QTest::newRow("restart request refused") << false;
}

void TestUpgrader::deviceNotBackInBootloader()
{
    QFETCH(bool, staysAway);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    if (staysAway) {
        emu::DeviceConfig c = emu::config();
        c.returnsAfterReset = false;
        emu::configure(c);
    } else {
        // The application ignores the restart and keeps its serial number.
        emu::injectFault(fault(emu::FaultKind::Error, 4, 1));
    }
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(),
        QStringList({file, "KT0000001", "KBL 2.04", "Apllication mode", "Reset device",
            "USB timout\nCheck USB cable"}));
    SleepList waits {2000, 500};
    waits.insert(waits.end(), 10, 200);
    QCOMPARE(Sleeps::taken(), waits);
    QCOMPARE(DebugLog::count("usb->RunApplication()"), 1);
    QCOMPARE(DebugLog::count("usb->disconnect()"), 1);
    QCOMPARE(count(3), 0);
}

void TestUpgrader::reEnumerationWaitsInSteps()
{
    // A device that needs 2.9 s to come back after the restart is found by
    // the third attempt (2.0 + 0.5 + 0.2 + 0.2 s).
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::Timing t;
    t.reenumerationMs = 2900;
    emu::setTiming(t);
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(), successTexts(file, true));
    QCOMPARE(Sleeps::taken(), SleepList({2000, 500, 200, 200, 1000}));
    QVERIFY(deviceHasFirmware(rig.firmware));
}

void TestUpgrader::pageWriteFailureEnds_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("fromApplication");
    QTest::newRow("first page") << 1 << true;
    QTest::newRow("page 60") << 60 << false;
    QTest::newRow("last page") << 120 << true;
}

void TestUpgrader::pageWriteFailureEnds()
{
    QFETCH(int, page);
    QFETCH(bool, fromApplication);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    emu::injectFault(fault(emu::FaultKind::Error, 3, unsigned(page)));
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(), head(file, fromApplication) << "ERROR");
    QCOMPARE(rig.recorder.percents(), percentsUpTo(page - 1));
    QCOMPARE(DebugLog::count("page write ERROR"), 1);
    QCOMPARE(DebugLog::count("page write OK"), page - 1);
    QCOMPARE(count(3), page);
    QCOMPARE(count(6), 0);
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    QCOMPARE(Sleeps::taken(), fromApplication ? SleepList({2000, 500}) : SleepList());
}

void TestUpgrader::unverifiedPageStopsBeforeExternalFlash_data()
{
    QTest::addColumn<emu::Fault>("f");
    QTest::addColumn<bool>("errorLine");
    // Request 1 is also the version read, so page k is the (k+1)th.
    QTest::newRow("page 1 stored wrong") << fault(emu::FaultKind::Corrupt, 3, 1) << true;
    QTest::newRow("page 77 stored wrong") << fault(emu::FaultKind::Corrupt, 3, 77) << true;
    QTest::newRow("page 120 read back wrong") << fault(emu::FaultKind::Corrupt, 1, 121) << true;
    QTest::newRow("page 5 read-back refused") << fault(emu::FaultKind::Error, 1, 6) << false;
    QTest::newRow("page 9 read-back short") << [] {
        emu::Fault f = fault(emu::FaultKind::Short, 1, 10);
        f.shortCount = 2047;
        return f;
    }() << false;
}

void TestUpgrader::unverifiedPageStopsBeforeExternalFlash()
{
    QFETCH(emu::Fault, f);
    QFETCH(bool, errorLine);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setMode(emu::Mode::Bootloader);
    f.byteOffset = 1000;
    emu::injectFault(f);
    QVERIFY(rig.run(file));
    QStringList expected = head(file, false);
    if (errorLine)
        expected << "ERROR";
    expected << "Firmware verification failed\nStart the upgrade again";
    QCOMPARE(rig.recorder.texts(), expected);
    // Every page is still written and read back: the operator sees how far
    // the damage goes, but nothing after the page loop happens.
    QCOMPARE(rig.recorder.percents(), successPercents());
    QCOMPARE(count(3), 120);
    QCOMPARE(DebugLog::count("page read ERROR"), errorLine ? 0 : 1);
    QCOMPARE(count(6), 0);
    QCOMPARE(count(5), 0);
    QCOMPARE(count(4), 0);
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    QVERIFY(Sleeps::taken().empty());
}

void TestUpgrader::externalFlashFailure_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<unsigned>("failures");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("write, budget spent") << 6 << 101u << false;
    QTest::newRow("write, budget just enough") << 6 << 100u << true;
    QTest::newRow("read, budget spent") << 5 << 101u << false;
    QTest::newRow("read, budget just enough") << 5 << 100u << true;
}

void TestUpgrader::externalFlashFailure()
{
    QFETCH(int, request);
    QFETCH(unsigned, failures);
    QFETCH(bool, succeeds);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::injectFault(fault(emu::FaultKind::Error, request, 3, failures));
    QVERIFY(rig.run(file));
    QStringList expected = successTexts(file, true);
    if (!succeeds) {
        const int cut = expected.indexOf(
            request == 6 ? "Writting External Flash ... " : "Verify External Flash ...  ");
        expected = expected.mid(0, cut + 1) << "Error";
    }
    QCOMPARE(rig.recorder.texts(), expected);
    QCOMPARE(rig.recorder.percents(), successPercents());
    QCOMPARE(emu::mode(), succeeds ? emu::Mode::Application : emu::Mode::Bootloader);
    if (succeeds)
        QVERIFY(deviceHasFirmware(rig.firmware));
    else
        QCOMPARE(Sleeps::taken(), SleepList({2000, 500}));
}

void TestUpgrader::externalMismatchDumpsBoth()
{
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setMode(emu::Mode::Bootloader);
    emu::Fault f = fault(emu::FaultKind::Corrupt, 6, 10);
    f.byteOffset = 17;
    emu::injectFault(f);
    QVERIFY(rig.run(file));
    const QStringList t = rig.recorder.texts();
    QStringList expected = head(file, false);
    expected << "OK"
             << "Writting External Flash ... "
             << "OK"
             << "Verify External Flash ...  "
             << "Error"
             << "read_buffer";
    QCOMPARE(t.size(), expected.size() + 3);
    QCOMPARE(t.mid(0, expected.size()), expected);
    QCOMPARE(t.at(expected.size() + 1), QString("ext_datas.data()"));

    // Each dump covers the whole section; they differ in the one row that
    // holds the corrupted byte (chunk 10 starts at 2304, +17 is row 145).
    const QStringList readRows = t.at(expected.size()).split('\n');
    const QStringList wantRows = t.at(expected.size() + 2).split('\n');
    QCOMPARE(readRows.size(), 2 + 81920 / 16);
    QCOMPARE(wantRows.size(), 2 + 81920 / 16);
    QVERIFY(readRows.at(1).startsWith(" src address: 0x"));
    const QByteArray ext = rig.firmware.external();
    const QStringList reference = QString::fromLatin1(
        dumpBuffer(reinterpret_cast<const unsigned char *>(ext.constData()), ext.size()))
                                      .split('\n');
    QCOMPARE(wantRows.mid(2), reference.mid(2));
    QStringList differing;
    for (int i = 2; i < readRows.size(); ++i)
        if (readRows.at(i) != wantRows.at(i))
            differing << readRows.at(i).left(7);
    QCOMPARE(differing, QStringList {"0x0910:"});

    // Neither restarted nor disconnected: the bootloader waits for a retry.
    QCOMPARE(count(4), 0);
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    QCOMPARE(emu::openHandles(), 1);
}

void TestUpgrader::failurePathsEndInSeconds_data()
{
    // A unit that stops answering one request for good, or leaves the bus at
    // its first use, from either mode, on the realistic timing model.
    QTest::addColumn<emu::Fault>("f");
    QTest::addColumn<bool>("fromApplication");
    for (const int request : {-1, 255, 1, 4, 3, 6, 5}) {
        for (const bool app : {true, false}) {
            // Request 1 from its second use on: the page read-backs.
            const unsigned first = request == 1 ? 2 : 1;
            emu::Fault timeout = fault(emu::FaultKind::Error, request, first, 1000000);
            timeout.error = emu::errTimeout;
            emu::Fault gone = fault(emu::FaultKind::DropOff, request, first);
            gone.comeBack = false;
            const QByteArray where = QByteArray::number(request) + (app ? " app" : " boot");
            QTest::newRow("timeouts " + where) << timeout << app;
            QTest::newRow("gone " + where) << gone << app;
        }
    }
}

void TestUpgrader::failurePathsEndInSeconds()
{
    QFETCH(emu::Fault, f);
    QFETCH(bool, fromApplication);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    emu::setTiming(emu::Timing::realistic());
    emu::injectFault(f);
    QVERIFY(rig.run(file));
    // A successful change takes about 13 s here; a failing one costs at most
    // a few timeouts more.
    QVERIFY2(emu::nowMs() < 25000, qPrintable(QString::number(emu::nowMs())));
}

void TestUpgrader::waitsEndOnStopOrInTime_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<unsigned long>("stopAt"); // the wait that asks for a stop; 0: none
    QTest::addColumn<QString>("converter");
    QTest::newRow("stop in the reset wait") << true << 2000ul << "bootloader";
    QTest::newRow("stop in the final restart") << false << 1000ul << "unknown";
    // Every look for it costs transfer timeouts (45 s here when the wait
    // was counted in looks).
    QTest::newRow("silent new application") << false << 0ul << "unknown";
}

void TestUpgrader::waitsEndOnStopOrInTime()
{
    QFETCH(bool, fromApplication);
    QFETCH(unsigned long, stopAt);
    QFETCH(QString, converter);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    rig.upgrader.setOptions({true, true});
    Upgrader *upgrader = &rig.upgrader;
    Sleeps::setHook([upgrader, stopAt](unsigned long ms) {
        if (ms == stopAt)
            upgrader->requestStop();
    });
    emu::setTransferHook([stopAt](const emu::TransferRecord &t) {
        if (t.request == 4 && stopAt == 0)
            emu::injectFault({emu::FaultKind::Error, -1, 1, 1000, emu::errTimeout});
    });
    QVERIFY(rig.run(file));
    QCOMPARE(QString(kelto::upgrade::stateName(rig.upgrader.outcome().converter)), converter);
    QCOMPARE(Sleeps::taken().size() == 1, stopAt != 0); // nothing waited after the stop
    QVERIFY2(emu::nowMs() < 10000, qPrintable(QString::number(emu::nowMs())));
}

void TestUpgrader::success_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::newRow("from application") << true;
    QTest::newRow("from bootloader") << false;
}

void TestUpgrader::success()
{
    QFETCH(bool, fromApplication);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    QVERIFY(!deviceHasFirmware(rig.firmware));
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(), successTexts(file, fromApplication));
    QCOMPARE(rig.recorder.percents(), successPercents());
    QCOMPARE(rig.recorder.percents().size(), 121);
    QCOMPARE(rig.recorder.percents().at(60), 50);
    QCOMPARE(Sleeps::taken(), fromApplication ? SleepList({2000, 500, 1000}) : SleepList({1000}));

    QVERIFY(deviceHasFirmware(rig.firmware));
    QVERIFY(emu::applicationValid());
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QCOMPARE(emu::openHandles(), 0);

    // Each page once written and once read back, right after each other:
    // the last page first (its checksum word erased), the others at
    // consecutive addresses, the external flash in its chunk sizes, and the
    // last page again, whole, just before the restart.
    QCOMPARE(count(3), 121);
    QCOMPARE(count(1), 122);
    QCOMPARE(count(6), 320);
    QCOMPARE(count(5), 160);
    QCOMPARE(count(4), fromApplication ? 2 : 1);
    const auto writes = emu::transferLog(3);
    for (int k = 0; k < 121; ++k) {
        const uint32_t address
            = k == 0 || k == 120 ? 0x0803F800u : 0x08004000u + uint32_t(k - 1) * 2048u;
        QCOMPARE(
            uint32_t(writes[size_t(k)].value) | uint32_t(writes[size_t(k)].index) << 16, address);
        QCOMPARE(writes[size_t(k)].lengthAsked, 2048);
    }
    QVERIFY(lastIndexOf(4) > lastPageWriteIndex());
    QVERIFY(lastPageWriteIndex() > lastIndexOf(5));
    QCOMPARE(DebugLog::count("page write OK"), 121);
    QCOMPARE(DebugLog::count("Start firmware upgrade"), 1);
    QCOMPARE(DebugLog::count("page read ERROR"), 0);
}

void TestUpgrader::skipUnchanged_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<int>("pageChanged"); // application page; -1: none
    QTest::addColumn<int>("externalChanged"); // external flash byte; -1: none
    QTest::addColumn<int>("pageWrites");
    QTest::addColumn<int>("chunkWrites");
    QTest::addColumn<int>("restarts");
    QTest::addColumn<int>("refused"); // page reads refused after the version's
    // A running application that is the file's firmware is not restarted.
    QTest::newRow("nothing differs, application") << true << -1 << -1 << 0 << 0 << 0 << 0;
    QTest::newRow("nothing differs, bootloader") << false << -1 << -1 << 0 << 0 << 1 << 0;
    // The last page (checksum erased), the page, the commit.
    QTest::newRow("one page differs") << true << 17 << -1 << 3 << 0 << 2 << 0;
    QTest::newRow("the last page differs") << false << 119 << -1 << 2 << 0 << 1 << 0;
    // The application is made unstartable for the chunk's write as well.
    // Refused reads cost the restart; the bootloader's reads decide.
    QTest::newRow("the application refuses its reads") << true << -1 << -1 << 0 << 0 << 2 << 120;
    QTest::newRow("one chunk differs") << false << -1 << 300 << 2 << 1 << 1 << 0;
}

void TestUpgrader::skipUnchanged()
{
    QFETCH(bool, fromApplication);
    QFETCH(int, pageChanged);
    QFETCH(int, externalChanged);
    QFETCH(int, pageWrites);
    QFETCH(int, chunkWrites);
    QFETCH(int, restarts);
    QFETCH(int, refused);
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    QVERIFY(rig.run(file));
    QVERIFY(deviceHasFirmware(rig.firmware));
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    if (pageChanged >= 0) {
        const uint32_t at = emu::applicationBase + uint32_t(pageChanged) * 2048 + 9;
        emu::writeFlash(at, {uint8_t(~emu::flash()[at - emu::flashBase])});
    }
    if (externalChanged >= 0)
        emu::writeExternalFlash(
            uint32_t(externalChanged), {uint8_t(~emu::externalFlash()[size_t(externalChanged)])});
    emu::clearTransferLog();
    if (refused > 0)
        emu::injectFault(fault(emu::FaultKind::Error, 1, 2, unsigned(refused)));
    emu::Timing t;
    t.reenumerationMs = 1200;
    emu::setTiming(t);
    const uint64_t start = emu::nowMs();
    Upgrader::Options options;
    options.confirmStart = true;
    options.skipUnchanged = true;
    options.waits = kelto::upgrade::WaitPolicy::Kind::Polled;
    rig.upgrader.setOptions(options);
    QVERIFY(rig.run(file));
    const auto o = rig.upgrader.outcome();
    QVERIFY2(o.success, qPrintable(o.reason));
    QCOMPARE(count(3), pageWrites);
    QCOMPARE(count(6), chunkWrites);
    QCOMPARE(count(4), restarts);
    // Each restart is seen within a poll of the converter's return.
    const uint64_t took = emu::nowMs() - start;
    QVERIFY2(
        took >= restarts * 1200u && took <= restarts * 1220u, qPrintable(QString::number(took)));
    QCOMPARE(o.pagesWritten + o.pagesSkipped, 120);
    QCOMPARE(o.pagesVerified, 120);
    QCOMPARE(o.chunksWritten, chunkWrites);
    QCOMPARE(o.chunksSkipped, 320 - chunkWrites);
    QVERIFY(deviceHasFirmware(rig.firmware));
    QVERIFY(emu::applicationValid());
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QCOMPARE(emu::openHandles(), 0);
}

void TestUpgrader::restartedIntoApplicationIsLeftRunning()
{
    // The device reboots into the freshly committed application before the
    // restart (the application serves the read of the serial too). The
    // final restart request would take it back to its bootloader.
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setTransferHook([](const emu::TransferRecord &r) {
        if (r.request == 1 && r.value == 0xF800 && r.index == 0x0803 && count(3) == 121)
            emu::setMode(emu::Mode::Application);
    });
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(), successTexts(file, true));
    QVERIFY(deviceHasFirmware(rig.firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QCOMPARE(count(4), 1);
    QCOMPARE(emu::openHandles(), 0);
    QCOMPARE(Sleeps::taken(), SleepList({2000, 500, 1000}));
}

void TestUpgrader::staysOnTheUnitItIdentified()
{
    // Two converters in their bootloaders; the first leaves the bus while
    // page 1 is read back. Any reconnect of the run may only find the first
    // again: going on with the second would destroy its application.
    UpgradeRig rig;
    const QString file = rig.upgradeFile();
    emu::setMode(emu::Mode::Bootloader);
    emu::DeviceConfig second;
    second.serial = "KT0000002";
    second.mode = emu::Mode::Bootloader;
    const int other = emu::addDevice(second);
    // Plugged in again, the first is the newest on the bus: the library
    // lists it first, and the run takes it.
    emu::unplug(0);
    emu::plug(0);
    emu::setMode(emu::Mode::Bootloader);
    const std::vector<uint8_t> before = emu::flash(other);
    emu::Fault f = fault(emu::FaultKind::DropOff, 1, 2);
    f.comeBack = false;
    emu::injectFault(f);
    QVERIFY(rig.run(file));
    QCOMPARE(rig.recorder.texts(),
        head(file, false) << "Firmware verification failed\nStart the upgrade again");
    QCOMPARE(count(3), 1);
    QVERIFY(emu::flash(other) == before);
    for (const auto &r : emu::transferLog())
        QVERIFY(r.device != other || r.requestType == 0x80); // its serial was read, no more
    // The window's other users of the link take the first converter again.
    QCOMPARE(rig.device.serial(), QByteArray());
}

void TestUpgrader::runsAgainWithNewName()
{
    // The object keeps nothing between runs but the name it was last given.
    UpgradeRig rig;
    const QString first = rig.upgradeFile();
    const QString second = rig.path("other.upg");
    const Firmware other = Firmware::make(2);
    QVERIFY(writeUpgradeFile(second, other));
    QVERIFY(rig.run(first));
    QVERIFY(deviceHasFirmware(rig.firmware));
    rig.clearRecords();
    QVERIFY(rig.run(second));
    QCOMPARE(rig.recorder.texts(), successTexts(second, true));
    QVERIFY(deviceHasFirmware(other));
    rig.clearRecords();
    rig.upgrader.start();
    QVERIFY(rig.upgrader.wait(QDeadlineTimer(60000)));
    QCOMPARE(rig.recorder.texts(), successTexts(second, true));
}

void TestUpgrader::constructorAndDestructorTrace()
{
    DebugLog::install();
    DebugLog::clear();
    {
        USBMIREL device;
        Upgrader upgrader(&device);
        QVERIFY(!upgrader.parent());
        QCOMPARE(DebugLog::count("Upgrader constructor"), 1);
    }
    QCOMPARE(DebugLog::count("Upgrader destructor"), 1);
    const QMetaObject &mo = Upgrader::staticMetaObject;
    QCOMPARE(QString(mo.className()), QString("Upgrader"));
    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        methods << QString::fromLatin1(mo.method(i).methodSignature());
    QCOMPARE(methods,
        QStringList({"sendText(QString)", "sendPercent(int)", "slotSetFileName(QString)"}));
}

QTEST_GUILESS_MAIN(TestUpgrader)
#include "tst_upgrader.moc"
