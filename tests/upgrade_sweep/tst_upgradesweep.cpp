// An upgrade interrupted at every one of its control transfers, in each of
// the ways a transfer can end badly. Whatever happens, a run must never
// report success while the device holds a wrong image; at its next power-up
// the converter holds the complete new firmware, the complete old one or
// starts its bootloader, never a mix, and the run's `converter` said so;
// one more run afterwards must always leave the right image in a device
// that runs its application.
#include "upgraderig.h"

#include "emulator.h"

#include <QTest>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

using kelto::upgrade::ConverterState;

struct Outcome
{
    QStringList texts;
    bool ended = false;
    ConverterState converter = ConverterState::Untouched;
};

Outcome runOnce(const QString &file)
{
    USBMIREL device;
    Upgrader upgrader(&device);
    upgrader.setOptions({true, true});
    Recorder recorder(upgrader);
    upgrader.slotSetFileName(file);
    upgrader.start();
    Outcome o;
    o.ended = upgrader.wait(QDeadlineTimer(60000));
    o.texts = recorder.texts();
    o.converter = upgrader.outcome().converter;
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
    int transfers = 0;
};

void TestUpgradeSweep::initTestCase()
{
    DebugLog::install();
    Sleeps::install();
    file = dir.filePath("sweep.upg");
    QVERIFY(writeUpgradeFile(file, firmware));

    // The reference run fixes how many vendor transfers an upgrade makes.
    emu::reset();
    install(old);
    const Outcome o = runOnce(file);
    QVERIFY(o.ended);
    QVERIFY(lastRunSucceeded(o.texts));
    QVERIFY(deviceHasFirmware(firmware));
    for (const emu::TransferRecord &r : emu::transferLog())
        if (r.requestType != 0x80)
            ++transfers;
    // Identity, version, restart, reconnects, 2 x 120 pages, 320 + 160
    // external chunks, start.
    QVERIFY2(transfers > 700, qPrintable(QString::number(transfers)));
}

void TestUpgradeSweep::sweep_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("comeBack");
    QTest::addColumn<bool>("powerCycle");
    const int drop = int(emu::FaultKind::DropOff);
    QTest::newRow("transfer refused")
        << int(emu::FaultKind::Error) << emu::errStall << true << false;
    QTest::newRow("timeout") << int(emu::FaultKind::Error) << emu::errTimeout << true << false;
    // The device goes off the bus and stays off until the operator brings
    // it back; then it boots like any device after power-up.
    QTest::newRow("power lost") << drop << 0 << false << true;
    // A short dropout (hub): back after 300 ms in the same firmware.
    QTest::newRow("dropout") << drop << 0 << true << false;
    // Cable pulled, or power cut in mid-transfer; back after 300 ms.
    QTest::newRow("cable pulled and back") << drop << 0 << true << true;
    QTest::newRow("power cut") << int(emu::FaultKind::PowerCut) << 0 << true << true;
    // Not a way a transfer ends, but the one the page verification exists
    // for: a byte that goes wrong on the wire in either direction.
    QTest::newRow("data corrupted") << int(emu::FaultKind::Corrupt) << 0 << true << false;
}

void TestUpgradeSweep::sweep()
{
    QFETCH(int, kind);
    QFETCH(int, error);
    QFETCH(bool, comeBack);
    QFETCH(bool, powerCycle);
    QStringList problems;
    int cases = 0;
    int found[PowerUps] = {};
    for (int nth = 1; nth <= transfers; ++nth) {
        if (SWEEP_STRIDE > 1 && nth > 8 && nth < transfers - 8 && nth % SWEEP_STRIDE != 0)
            continue;
        ++cases;
        emu::reset();
        install(old);
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

        const Outcome first = runOnce(file);
        const QString where = QString("%1 at transfer %2").arg(QTest::currentDataTag()).arg(nth);
        if (!first.ended) {
            problems << where + ": run did not end";
            break;
        }
        if (lastRunSucceeded(first.texts) && !deviceHasFirmware(firmware))
            problems << where + ": success reported with a wrong image";

        // The unit is switched off and on again (a unit that stayed away is
        // plugged in): it starts what its memories hold.
        const bool inBootloaderNow = emu::present() && emu::mode() == emu::Mode::Bootloader;
        emu::clearFaults();
        emu::advance(5000);
        const PowerUp up = powerUp(firmware, old);
        ++found[up];
        if (up == Mixed)
            problems << where + ": a mix of old and new firmware starts at power-up";
        else if (!agrees(first.converter, up, inBootloaderNow))
            problems << where
                    + QString(": the record said \"%1\", then %2 at power-up")
                          .arg(kelto::upgrade::stateName(first.converter), powerUpNames[up]);

        // The operator simply tries again.
        const Outcome second = runOnce(file);
        if (!second.ended) {
            problems << where + ": second run did not end";
            break;
        }
        if (!lastRunSucceeded(second.texts))
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
