#include "upgraderig.h"

#include "delay.h"
#include "emulator.h"
#include "flashimage.h"
#include "imagecodec.h"
#include "upgradefile.h"

#include <QDataStream>
#include <QFile>

#include <atomic>

namespace kelto::test {

namespace {

uint32_t nextRandom(uint32_t &state)
{
    // xorshift32: cheap, deterministic, no zero runs.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

struct SleepState
{
    std::mutex mutex;
    std::vector<unsigned long> taken;
    std::function<void(unsigned long)> hook;
    unsigned long divisor = 1;
};

SleepState &sleepState()
{
    static SleepState state;
    return state;
}

void recordingSleep(unsigned long ms)
{
    std::function<void(unsigned long)> hook;
    unsigned long divisor = 1;
    {
        SleepState &s = sleepState();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.taken.push_back(ms);
        hook = s.hook;
        divisor = s.divisor;
    }
    if (hook)
        hook(ms);
    kelto::emu::virtualSleep(ms / divisor);
}

struct DebugState
{
    std::mutex mutex;
    QStringList lines;
};

DebugState &debugState()
{
    static DebugState state;
    return state;
}

std::atomic<bool> debugInstalled {false};

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg) {
        // Warnings and worse stay visible: they point at real trouble.
        fprintf(stderr, "%s\n", qPrintable(message));
        if (type == QtFatalMsg)
            abort();
        return;
    }
    DebugState &s = debugState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lines << message;
}

} // namespace

Firmware Firmware::make(uint32_t seed)
{
    Firmware fw;
    fw.image = QByteArray(int(flash::imageSize), '\0');
    auto *p = reinterpret_cast<unsigned char *>(fw.image.data());
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = flash::applicationOffset; i < flash::externalOffset + flash::externalSize;
         ++i)
        p[i] = uint8_t(nextRandom(state));
    // The brand the tool accepts, and the checksums the device checks.
    p[flash::applicationBrandOffset] = 0;
    p[flash::applicationBrandOffset + 1] = 0;
    flash::storeChecksums(p);
    return fw;
}

QByteArray Firmware::application() const
{
    return image.mid(int(flash::applicationOffset), int(flash::applicationSize));
}

QByteArray Firmware::external() const
{
    return image.mid(int(flash::externalOffset), int(flash::externalSize));
}

QByteArray Firmware::encodedExternal() const
{
    QByteArray e = external();
    encodeImage(reinterpret_cast<unsigned char *>(e.data()), uint32_t(e.size()));
    return e;
}

bool writeUpgradeFile(const QString &path, const Firmware &firmware)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray image = firmware.image;
    return upgradefile::write(f, image) == 0;
}

bool writeRawUpgradeFile(
    const QString &path, const QString &header, const QString &version, const QByteArray &block)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QDataStream out(&f);
    out << header << version << block;
    return out.status() == QDataStream::Ok;
}

void Sleeps::install()
{
    kelto::setSleepFunction(recordingSleep);
    kelto::setClockFunction(kelto::emu::nowMs);
}

void Sleeps::uninstall()
{
    kelto::setSleepFunction(nullptr);
    kelto::setClockFunction(nullptr);
    setHook({});
    setDivisor(1);
}

void Sleeps::setDivisor(unsigned long divisor)
{
    std::lock_guard<std::mutex> lock(sleepState().mutex);
    sleepState().divisor = divisor ? divisor : 1;
}

std::vector<unsigned long> Sleeps::taken()
{
    std::lock_guard<std::mutex> lock(sleepState().mutex);
    return sleepState().taken;
}

void Sleeps::clear()
{
    std::lock_guard<std::mutex> lock(sleepState().mutex);
    sleepState().taken.clear();
}

void Sleeps::setHook(std::function<void(unsigned long)> hook)
{
    std::lock_guard<std::mutex> lock(sleepState().mutex);
    sleepState().hook = std::move(hook);
}

void DebugLog::install()
{
    if (!debugInstalled.exchange(true))
        qInstallMessageHandler(captureMessage);
}

QStringList DebugLog::lines()
{
    std::lock_guard<std::mutex> lock(debugState().mutex);
    return debugState().lines;
}

void DebugLog::clear()
{
    std::lock_guard<std::mutex> lock(debugState().mutex);
    debugState().lines.clear();
}

int DebugLog::count(const QString &line)
{
    std::lock_guard<std::mutex> lock(debugState().mutex);
    return int(debugState().lines.count(line));
}

Recorder::Recorder(Upgrader &upgrader)
{
    // Direct connections: the slots run in the worker thread, hence the lock.
    std::shared_ptr<State> s = state;
    QObject::connect(&upgrader, &Upgrader::sendText, [s](const QString &text) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->texts << text;
    });
    QObject::connect(&upgrader, &Upgrader::sendPercent, [s](int percent) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->percents << percent;
    });
}

QStringList Recorder::texts() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->texts;
}

QList<int> Recorder::percents() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->percents;
}

void Recorder::clear()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->texts.clear();
    state->percents.clear();
}

UpgradeRig::UpgradeRig()
{
    DebugLog::install();
    kelto::emu::reset();
    Sleeps::install();
    Sleeps::clear();
    DebugLog::clear();
}

UpgradeRig::~UpgradeRig()
{
    upgrader.wait();
    Sleeps::uninstall();
}

QString UpgradeRig::path(const QString &name) const
{
    return dir.filePath(name);
}

QString UpgradeRig::upgradeFile()
{
    if (file.isEmpty()) {
        file = path("release.upg");
        if (!writeUpgradeFile(file, firmware))
            file.clear();
    }
    return file;
}

bool UpgradeRig::run(const QString &name)
{
    upgrader.slotSetFileName(name);
    upgrader.start();
    return upgrader.wait(QDeadlineTimer(60000));
}

void UpgradeRig::clearRecords()
{
    recorder.clear();
    Sleeps::clear();
    DebugLog::clear();
    kelto::emu::clearTransferLog();
}

QStringList successTexts(
    const QString &file, bool fromApplication, const QString &serial, const QString &version)
{
    QStringList t;
    t << file;
    if (fromApplication) {
        t << serial << version << "Apllication mode"
          << "Reset device"
          << "Disconnect"
          << "Connect"
          << "Serial:" + serial + "b";
    } else {
        t << serial + "b" << version << "Bootloader mode";
    }
    t << "Writting firmware ... "
      << "OK"
      << "Writting External Flash ... "
      << "OK"
      << "Verify External Flash ...  "
      << "OK";
    return t;
}

QList<int> successPercents()
{
    QList<int> p {0};
    for (int k = 1; k <= 120; ++k)
        p << k * 100 / 120;
    return p;
}

bool deviceHasFirmware(const Firmware &firmware)
{
    const std::vector<uint8_t> f = kelto::emu::flash();
    const QByteArray app = firmware.application();
    if (f.size() < flash::applicationOffset + flash::applicationSize)
        return false;
    if (memcmp(f.data() + flash::applicationOffset, app.constData(), size_t(app.size())) != 0)
        return false;
    const std::vector<uint8_t> e = kelto::emu::externalFlash();
    const QByteArray ext = firmware.encodedExternal();
    return e.size() >= size_t(ext.size())
        && memcmp(e.data(), ext.constData(), size_t(ext.size())) == 0;
}

bool lastRunSucceeded(const QStringList &texts)
{
    // Only a complete run reaches the verified external flash.
    return texts.size() >= 2 && texts.last() == "OK"
        && texts.at(texts.size() - 2) == "Verify External Flash ...  ";
}

} // namespace kelto::test
