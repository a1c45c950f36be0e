#ifndef KELTO_TESTS_UPGRADERIG_H
#define KELTO_TESTS_UPGRADERIG_H

#include "upgrader.h"
#include "usbmirel.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kelto::test {

// A deterministic firmware release: a plain flash image whose application
// and external sections are filled from a seed, brand 0, both checksums.
struct Firmware
{
    QByteArray image; // plain, 0x60000 bytes

    static Firmware make(uint32_t seed);
    QByteArray application() const; // 0x3C000 bytes for 0x08004000 on
    QByteArray external() const; // 0x14000 bytes for external address 0
    // The external section as the device must keep it (encoded).
    QByteArray encodedExternal() const;
};

// Writes a proper upgrade file with the firmware library's writer.
bool writeUpgradeFile(const QString &path, const Firmware &firmware);
// Writes a data stream of two strings and a byte array, for broken files.
bool writeRawUpgradeFile(
    const QString &path, const QString &header, const QString &version, const QByteArray &block);

// The program's fixed waits, recorded and taken on the emulator's virtual
// clock. A hook may block a wait (to hold a run at a known point).
class Sleeps
{
public:
    static void install();
    static void uninstall();
    static std::vector<unsigned long> taken();
    static void clear();
    // Called before the clock advances; runs in the sleeping thread.
    static void setHook(std::function<void(unsigned long)> hook);
    // Waits are taken as 1/divisor of their length (recorded in full), for
    // tests on the emulator's real clock with a scaled-down timing model.
    static void setDivisor(unsigned long divisor);
};

// Debug output of the process, captured (and kept off the console, which
// would otherwise slow the sweeps down).
class DebugLog
{
public:
    static void install();
    static QStringList lines();
    static void clear();
    static int count(const QString &line);
};

// Texts and percentages of one Upgrader, recorded in the emitting thread.
class Recorder
{
public:
    explicit Recorder(Upgrader &upgrader);
    QStringList texts() const;
    QList<int> percents() const;
    void clear();

private:
    struct State
    {
        mutable std::mutex mutex;
        QStringList texts;
        QList<int> percents;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

// One emulated converter (reset), one device object, one Upgrader and its
// recorder, the virtual clock and a temporary folder for files.
class UpgradeRig
{
public:
    UpgradeRig();
    ~UpgradeRig();
    UpgradeRig(const UpgradeRig &) = delete;
    UpgradeRig &operator=(const UpgradeRig &) = delete;

    // Path of a file in the rig's folder.
    QString path(const QString &name) const;
    // A valid upgrade file of `firmware`, written once per rig.
    QString upgradeFile();
    // Runs one upgrade of `file` to its end; false if it did not end
    // within the time limit.
    bool run(const QString &file);
    void clearRecords();

    Firmware firmware = Firmware::make(1);
    USBMIREL device;
    Upgrader upgrader {&device};
    Recorder recorder {upgrader};

private:
    QTemporaryDir dir;
    QString file;
};

// What a run shows the operator when everything works.
QStringList successTexts(const QString &file, bool fromApplication,
    const QString &serial = QStringLiteral("KT0000001"),
    const QString &version = QStringLiteral("KBL 2.04"));
// 0, then the share of pages written after each of the 120 pages.
QList<int> successPercents();
// Outcome checks on the emulated device.
bool deviceHasFirmware(const Firmware &firmware);
bool lastRunSucceeded(const QStringList &texts);

} // namespace kelto::test

#endif
