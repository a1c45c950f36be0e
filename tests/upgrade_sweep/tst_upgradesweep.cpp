// An upgrade interrupted at every one of its control transfers, in each of
// the ways a transfer can end badly. Whatever happens, a run must never
// report success while the device holds a wrong image; at its next power-up
// the converter holds the complete new firmware, the complete old one or
// starts its bootloader, never a mix, and the run's `converter` said so;
// one more run afterwards must always leave the right image in a device
// that runs its application. The same holds for kelto-cli's
// --skip-unchanged (with its polled waits), swept from a unit whose firmware
// is a few pages and a chunk away from the file's.
#include "upgraderig.h"

#include "emulator.h"
#include "flashimage.h"

#include <QTest>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

using kelto::upgrade::ConverterState;

struct Outcome
{
    QStringList texts;
    bool ended = false;
    // As the record says it (kelto-cli's truth; the window's is the texts).
    bool success = false;
    ConverterState converter = ConverterState::Untouched;
};

Outcome runOnce(const QString &file, bool skip)
{
    USBMIREL device;
    Upgrader upgrader(&device);
    // As kelto-cli runs it with --skip-unchanged.
    Upgrader::Options options {true, true};
    options.skipUnchanged = skip;
    if (skip)
        options.waits = kelto::upgrade::WaitPolicy::Kind::Polled;
    upgrader.setOptions(options);
    Recorder recorder(upgrader);
    upgrader.slotSetFileName(file);
    upgrader.start();
    Outcome o;
    o.ended = upgrader.wait(QDeadlineTimer(60000));
    o.texts = recorder.texts();
    o.converter = upgrader.outcome().converter;
    o.success = upgrader.outcome().success;
    return o;
}

enum PowerUp { NewFirmware, OldFirmware, InBootloader, Mixed, PowerUps };
const char *const powerUpNames[] = {"new firmware", "old firmware", "bootloader", "MIXED"};

void install(const Firmware &f)
{
    const QByteArray app = f.application(), ext = f.encodedExternal();
    emu::writeFlash(emu::applicationBase, {app.begin(), app.end()});
    emu::writeExternalFlash(0, {ext.begin(), ext.end()});
}

// Power off and on again: what does the converter start, and with what?
PowerUp powerUp(const Firmware &next, const Firmware &old)
{
    emu::unplug();
    emu::plug();
    if (emu::mode() == emu::Mode::Bootloader)
        return InBootloader;
    if (deviceHasFirmware(next))
        return NewFirmware;
    return deviceHasFirmware(old) ? OldFirmware : Mixed;
}

// Does the run's `converter` tell what the converter does when the run
// ends (`inBootloaderNow`) and at its next power-up?
bool agrees(ConverterState said, PowerUp found, bool inBootloaderNow)
{
    if (said == ConverterState::NewApplication)
        return found == NewFirmware;
    if (said == ConverterState::Bootloader)
        return inBootloaderNow && (found == InBootloader || found == OldFirmware);
    return said == ConverterState::Unknown ? found != Mixed : found == OldFirmware;
}

QString describe(const QStringList &texts)
{
    return texts.isEmpty() ? QStringLiteral("(no text)") : texts.last();
}

} // namespace

class TestUpgradeSweep : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sweep_data();
    void sweep();

private:
    QTemporaryDir dir;
    QString file;
    Firmware firmware = Firmware::make(7);
    Firmware old = Firmware::make(3);
    // The file's firmware with pages 6 and 61 and a byte of the external
    // flash changed (and so the checksum word of the last page).
    Firmware near = firmware;
    int transfers[2] = {0, 0}; // of a full run, of a skip-unchanged run from `near`
};

void TestUpgradeSweep::initTestCase()
{
    DebugLog::install();
    Sleeps::install();
    file = dir.filePath("sweep.upg");
    QVERIFY(writeUpgradeFile(file, firmware));

    auto *p = reinterpret_cast<unsigned char *>(near.image.data());
    p[kelto::flash::applicationOffset + 5 * 2048 + 100] ^= 0x81;
    p[kelto::flash::applicationOffset + 60 * 2048 + 7] ^= 0x18;
    p[kelto::flash::externalOffset + 4000] ^= 0x42;
    kelto::flash::storeChecksums(p);

    // The reference runs fix how many vendor transfers an upgrade makes.
    for (const bool skip : {false, true}) {
        emu::reset();
        install(skip ? near : old);
        const Outcome o = runOnce(file, skip);
        QVERIFY(o.ended);
        QVERIFY(skip ? o.success : lastRunSucceeded(o.texts));
        QVERIFY(deviceHasFirmware(firmware));
        for (const emu::TransferRecord &r : emu::transferLog())
            if (r.requestType != 0x80)
                ++transfers[skip];
    }
    // Identity, version, restart, reconnects, 2 x 120 pages, 320 + 160
    // external chunks, start; skipping: 120 + 160 reads, 4 pages, a chunk,
    // 160 reads.
    QVERIFY2(transfers[0] > 700, qPrintable(QString::number(transfers[0])));
    QVERIFY2(transfers[1] > 440 && emu::transferLog(3).size() == 4,
        qPrintable(QString::number(transfers[1])));
}

void TestUpgradeSweep::sweep_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("comeBack");
    QTest::addColumn<bool>("powerCycle");
    QTest::addColumn<bool>("skip");
    const int drop = int(emu::FaultKind::DropOff);
    for (const bool skip : {false, true}) {
        const auto row = [skip](const char *name) -> QTestData & {
            return QTest::newRow(skip ? qPrintable(QString(name) + ", skip-unchanged") : name);
        };
        row("transfer refused") << int(emu::FaultKind::Error) << emu::errStall << true << false
                                << skip;
        row("timeout") << int(emu::FaultKind::Error) << emu::errTimeout << true << false << skip;
        // The device goes off the bus and stays off until the operator
        // brings it back; then it boots like any device after power-up.
        row("power lost") << drop << 0 << false << true << skip;
        // A short dropout (hub): back after 300 ms in the same firmware.
        row("dropout") << drop << 0 << true << false << skip;
        // Cable pulled, or power cut in mid-transfer; back after 300 ms.
        row("cable pulled and back") << drop << 0 << true << true << skip;
        row("power cut") << int(emu::FaultKind::PowerCut) << 0 << true << true << skip;
        // Not a way a transfer ends, but the one the page verification
        // exists for: a byte that goes wrong on the wire in either direction.
        row("data corrupted") << int(emu::FaultKind::Corrupt) << 0 << true << false << skip;
    }
}

void TestUpgradeSweep::sweep()
{
    QFETCH(int, kind);
    QFETCH(int, error);
    QFETCH(bool, comeBack);
    QFETCH(bool, powerCycle);
    QFETCH(bool, skip);
    const Firmware &before = skip ? near : old;
    const int transfers = this->transfers[skip];
    QStringList problems;
    int cases = 0;
    int found[PowerUps] = {};
    for (int nth = 1; nth <= transfers; ++nth) {
        if (SWEEP_STRIDE > 1 && nth > 8 && nth < transfers - 8 && nth % SWEEP_STRIDE != 0)
            continue;
        ++cases;
        emu::reset();
        install(before);
        DebugLog::clear();
        emu::Fault f;
        f.kind = emu::FaultKind(kind);
        f.error = error;
        f.nth = unsigned(nth);
        f.comeBack = comeBack;
        f.powerCycle = powerCycle;
        f.comeBackAfterMs = 300;
        // Somewhere inside every data stage, the 2-byte identities too.
        f.byteOffset = size_t(nth % 2);
        emu::injectFault(f);

        const Outcome first = runOnce(file, skip);
        const QString where = QString("%1 at transfer %2").arg(QTest::currentDataTag()).arg(nth);
        if (!first.ended) {
            problems << where + ": run did not end";
            break;
        }
        if ((lastRunSucceeded(first.texts) || first.success) && !deviceHasFirmware(firmware))
            problems << where + ": success reported with a wrong image";

        // The unit is switched off and on again (a unit that stayed away is
        // plugged in): it starts what its memories hold.
        const bool inBootloaderNow = emu::present() && emu::mode() == emu::Mode::Bootloader;
        emu::clearFaults();
        emu::advance(5000);
        const PowerUp up = powerUp(firmware, before);
        ++found[up];
        if (up == Mixed)
            problems << where + ": a mix of old and new firmware starts at power-up";
        else if (!agrees(first.converter, up, inBootloaderNow))
            problems << where
                    + QString(": the record said \"%1\", then %2 at power-up")
                          .arg(kelto::upgrade::stateName(first.converter), powerUpNames[up]);

        // The operator simply tries again.
        const Outcome second = runOnce(file, skip);
        if (!second.ended) {
            problems << where + ": second run did not end";
            break;
        }
        if (!(skip ? second.success : lastRunSucceeded(second.texts)))
            problems << where + ": second run ended with " + describe(second.texts);
        else if (!deviceHasFirmware(firmware))
            problems << where + ": second run left a wrong image";
        else if (emu::mode() != emu::Mode::Application)
            problems << where + ": device not running its application";
    }
    qInfo("%d cases of %d transfers swept (%s); at power-up: %d new firmware, %d old firmware, "
          "%d bootloader, %d mixed; %d problems",
        cases, transfers, QTest::currentDataTag(), found[NewFirmware], found[OldFirmware],
        found[InBootloader], found[Mixed], int(problems.size()));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.mid(0, 20).join('\n')));
}

QTEST_GUILESS_MAIN(TestUpgradeSweep)
#include "tst_upgradesweep.moc"
