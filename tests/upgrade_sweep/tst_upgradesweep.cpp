// An upgrade interrupted at every one of its control transfers, once by a
// refused transfer and once by the device losing power there. Whatever
// happens, a run must never report success while the device holds a wrong
// image, and one more run afterwards must always leave the right image in a
// device that runs its application.
#include "upgraderig.h"

#include "emulator.h"

#include <QTest>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

struct Outcome
{
    QStringList texts;
    bool ended = false;
};

Outcome runOnce(const QString &file)
{
    USBMIREL device;
    Upgrader upgrader(&device);
    Recorder recorder(upgrader);
    upgrader.slotSetFileName(file);
    upgrader.start();
    Outcome o;
    o.ended = upgrader.wait(QDeadlineTimer(60000));
    o.texts = recorder.texts();
    return o;
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
    QTest::addColumn<bool>("powerCycle");
    QTest::newRow("transfer refused") << int(emu::FaultKind::Error) << false;
    // The device goes off the bus and stays off until the operator brings
    // it back; then it boots like any device after power-up.
    QTest::newRow("power lost") << int(emu::FaultKind::DropOff) << true;
    // A short dropout (cable, hub): back after 300 ms in the same firmware.
    QTest::newRow("dropout") << int(emu::FaultKind::DropOff) << false;
    // Not a way a transfer ends, but the one the page verification exists
    // for: a byte that goes wrong on the wire in either direction.
    QTest::newRow("data corrupted") << int(emu::FaultKind::Corrupt) << false;
}

void TestUpgradeSweep::sweep()
{
    QFETCH(int, kind);
    QFETCH(bool, powerCycle);
    QStringList problems;
    int cases = 0;
    for (int nth = 1; nth <= transfers; ++nth) {
        if (SWEEP_STRIDE > 1 && nth > 8 && nth < transfers - 8 && nth % SWEEP_STRIDE != 0)
            continue;
        ++cases;
        emu::reset();
        DebugLog::clear();
        emu::Fault f;
        f.kind = emu::FaultKind(kind);
        f.nth = unsigned(nth);
        f.comeBack = !powerCycle;
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

        // The operator simply tries again once the device is back.
        emu::clearFaults();
        emu::advance(5000);
        if (!emu::present()) {
            // Power-up: the bootloader starts the application only when its
            // checksum is right.
            emu::setMode(emu::applicationValid() ? emu::Mode::Application : emu::Mode::Bootloader);
            emu::plug();
        }
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
    qInfo("%d cases of %d transfers swept (%s)", cases, transfers, QTest::currentDataTag());
    QVERIFY2(problems.isEmpty(), qPrintable(problems.mid(0, 20).join('\n')));
}

QTEST_GUILESS_MAIN(TestUpgradeSweep)
#include "tst_upgradesweep.moc"
