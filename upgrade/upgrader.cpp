#include "upgrader.h"

#include "delay.h"
#include "dumpbuffer.h"
#include "flashimage.h"
#include "imagecodec.h"
#include "pageplan.h"
#include "upgradefile.h"
#include "usbmirel.h"

#include <QDebug>

#include <cstdint>
#include <cstring>

namespace {

using kelto::flash::externalOffset;
using kelto::flash::externalSize;
constexpr uint32_t firmwareOffset = kelto::flash::applicationOffset;
constexpr uint32_t firmwareSize = kelto::flash::applicationSize;
constexpr uint32_t firmwareAddress = kelto::flash::flashBase + firmwareOffset;
constexpr uint32_t pageSize = 0x800;
constexpr uint32_t versionBlockAddress = 0x08003FD0;
constexpr int versionBlockSize = 32;
constexpr int versionTextOffset = 16;

// The device's USB serial number tells its mode: nine characters while the
// application runs, ten ending in 'b' while the bootloader runs.
constexpr int applicationSerialLength = 9;
constexpr int bootloaderSerialLength = 10;
constexpr int serialReadTries = 10;

QByteArray untilNul(const QByteArray &text)
{
    const int nul = text.indexOf('\0');
    return nul < 0 ? text : text.left(nul);
}

bool isBootloaderSerial(const QByteArray &serial)
{
    return serial.size() >= bootloaderSerialLength && serial.at(bootloaderSerialLength - 1) == 'b';
}

QString serialText(const QByteArray &serial)
{
    return QString::fromLatin1(untilNul(serial));
}

QString address(uint32_t a)
{
    return QString("0x%1").arg(a, 8, 16, QChar('0'));
}

// After the final restart the application is given this long to appear,
// measured on the clock: a converter whose every answer costs a transfer
// timeout must not stretch the wait to the number of polls times that.
constexpr int startPolls = 20;
constexpr unsigned long startPollMs = 200;
constexpr uint64_t startWaitMs = 5000;
// A unit that left the bus in the middle of a run is looked for this long.
constexpr int lostPolls = 15;
constexpr uint64_t lostWaitMs = 2500;

bool unitLost()
{
    const auto why = UsbDevice::lastLinkError();
    return why == UsbDevice::LinkError::Gone || why == UsbDevice::LinkError::Timeout;
}

} // namespace

using kelto::upgrade::ConverterState;
using kelto::upgrade::PagePlan;
using kelto::upgrade::Step;

Upgrader::Upgrader(USBMIREL *usb)
    : QThread(nullptr)
{
    qDebug() << "Upgrader constructor";
    this->usb = usb;
}

Upgrader::~Upgrader()
{
    qDebug() << "Upgrader destructor";
    // Never blocks: a run still going is not waited for here.
    if (runMutex.try_lock())
        runMutex.unlock();
}

void Upgrader::slotSetFileName(QString name)
{
    std::lock_guard<std::mutex> lock(fileNameMutex);
    fileName = name;
    givenFile.reset();
    stopRequested = false;
}

void Upgrader::setFile(const kelto::upgradefile::Inspection &file)
{
    std::lock_guard<std::mutex> lock(fileNameMutex);
    fileName = file.path;
    givenFile = file;
    stopRequested = false;
}

void Upgrader::setOptions(const Options &o)
{
    std::lock_guard<std::mutex> lock(fileNameMutex);
    options = o;
}

void Upgrader::requestStop()
{
    stopRequested = true;
}

kelto::upgrade::Outcome Upgrader::outcome() const
{
    std::lock_guard<std::mutex> lock(outcomeMutex);
    return outcome_;
}

template<typename F> void Upgrader::record(F change)
{
    std::lock_guard<std::mutex> lock(outcomeMutex);
    change(outcome_);
}

void Upgrader::say(const QString &text)
{
    record([&](kelto::upgrade::Outcome &o) { o.lastLine = text; });
    emit sendText(text);
}

void Upgrader::enter(Step step)
{
    record([&](kelto::upgrade::Outcome &o) { o.step = step; });
}

bool Upgrader::failed(const QString &reason, ConverterState state)
{
    record([&](kelto::upgrade::Outcome &o) {
        o.success = false;
        o.reason = reason;
        o.converter = state;
    });
    return false;
}

bool Upgrader::stopped(ConverterState state)
{
    if (!stopRequested)
        return false;
    qDebug() << "upgrade stopped on request";
    record([&](kelto::upgrade::Outcome &o) { o.interrupted = true; });
    failed("interrupted", state);
    return true;
}

void Upgrader::run()
{
    std::lock_guard<std::mutex> running(runMutex);
    QString name;
    std::optional<kelto::upgradefile::Inspection> given;
    {
        std::lock_guard<std::mutex> lock(fileNameMutex);
        name = fileName;
        given = givenFile;
        runOptions = options;
    }
    record([](kelto::upgrade::Outcome &o) { o = kelto::upgrade::Outcome(); });
    if (name.isNull()) {
        failed("no file chosen", ConverterState::Untouched);
        return;
    }

    QByteArray image;
    if (!readUpgradeFile(name, given, image))
        return;
    emit sendPercent(0);
    if (stopped(ConverterState::Untouched))
        return;

    // identify() ties the device object to the unit it finds; the tie is
    // undone when the run ends, whatever way it ends, so that the window's
    // other users of the link take the first converter again.
    struct Untie
    {
        USBMIREL *usb;
        QByteArray before;
        ~Untie() { usb->setSerial(before); }
    } untie {usb, usb->serial()};

    if (!connectDevice())
        return;
    bool applicationMode = false;
    if (!identify(applicationMode))
        return;
    if (stopped(ConverterState::AsFound))
        return;
    if (applicationMode && !enterBootloader())
        return;
    if (stopped(ConverterState::Bootloader))
        return;

    // Until the commit, the last write before the restart, the bootloader
    // finds no fit application: whatever ends the run before it leaves a
    // unit that powers up in its bootloader, ready for the next run.
    const PagePlan plan(image.mid(int(firmwareOffset), int(firmwareSize)));
    enter(Step::Firmware);
    say(tr("Writting firmware ... "));
    if (!writeFirmware(plan))
        return;
    if (stopped(ConverterState::Bootloader))
        return;
    if (!writeExternalFlash(image.mid(int(externalOffset), int(externalSize))))
        return;
    if (stopped(ConverterState::Bootloader))
        return;
    enter(Step::StartApplication);
    if (!commitApplication(plan))
        return;
    if (startApplication())
        record([](kelto::upgrade::Outcome &o) { o.success = true; });
}

bool Upgrader::readUpgradeFile(const QString &name,
    const std::optional<kelto::upgradefile::Inspection> &given, QByteArray &image)
{
    qDebug() << "Start firmware upgrade";
    enter(Step::File);
    emit sendText(name);

    // The file is read once (at most one byte more than an upgrade file
    // holds) and the image block decoded in one pass before the device is
    // touched: a file that cannot be read fails the header test, as an
    // empty one would, and a truncated block would leave part of the
    // application area to chance.
    const kelto::upgradefile::Inspection file
        = given ? *given : kelto::upgradefile::inspectFile(name);
    using kelto::upgradefile::ReadStatus;
    if (!file.opened) {
        say(tr("Wrong file header"));
        return failed(file.openError, ConverterState::Untouched);
    }
    switch (file.status) {
    case ReadStatus::Ok:
        break;
    case ReadStatus::WrongVersion:
        say(tr("Wrong file version"));
        return failed(
            QString("%1: not a version \"03\" upgrade file").arg(name), ConverterState::Untouched);
    case ReadStatus::WrongHeader:
        say(tr("Wrong file header"));
        return failed(QString("%1: not an upgrade file (its header text is not \"%2\")")
                          .arg(name, kelto::upgradefile::headerText),
            ConverterState::Untouched);
    case ReadStatus::ShortImage:
        say(tr("Wrong file header"));
        return failed(QString("%1: %2").arg(name, file.refusal()), ConverterState::Untouched);
    }
    // A file the converter would regret (one whose checksum A is wrong is
    // never started by its bootloader) is refused unless forced.
    if (runOptions.refuseFindings && !file.findings.isEmpty()) {
        say(tr("File refused: %1; nothing was sent to the converter").arg(file.findingsText()));
        return failed(QString("%1: %2").arg(name, file.findingsText()), ConverterState::Untouched);
    }
    image = file.image;
    return true;
}

bool Upgrader::connectDevice()
{
    enter(Step::Connect);
    usb->disconnect();
    int retries = 3;
    while (usb->connect() != 0) {
        if (retries == 0) {
            say(tr("USB Timeout\nCheck USB Cable"));
            // A unit that is there but not ours to use is no cable problem.
            const auto why = usb->lastConnectFailure();
            const bool present = why == UsbDevice::ConnectFailure::NotAccessible
                || why == UsbDevice::ConnectFailure::InUse;
            return failed(present ? UsbDevice::describe(why)
                                  : QString("no converter answered (USB 16c0:078b, 4 attempts)"),
                ConverterState::Untouched);
        }
        --retries;
        qDebug("usb->connect()\nmssleep(200)");
        if (kelto::sleepMsUnless(200, stopRequested) && stopped(ConverterState::Untouched))
            return false;
    }
    return true;
}

bool Upgrader::identify(bool &applicationMode)
{
    enter(Step::Identify);
    const QByteArray serial = readSerial();
    record([&](kelto::upgrade::Outcome &o) { o.usbSerial = serialText(serial); });
    say(serialText(serial));
    // From here on every reconnect of the run, and of anything else sharing
    // the link, must find this unit or fail: after a failed transfer the
    // first converter on the bus may be another one, whose application a
    // run going on there would destroy.
    if (serial.size() == applicationSerialLength
        || (serial.size() == bootloaderSerialLength && isBootloaderSerial(serial)))
        usb->setSerial(serial);

    unsigned char block[versionBlockSize];
    std::memset(block, 0, sizeof block);
    if (usb->ReadMemory(block, versionBlockAddress, versionBlockSize) != 0) {
        say(tr("Bootloader Version Read Error"));
        return failed(
            QString("the converter did not answer the read of its bootloader version at %1")
                .arg(address(versionBlockAddress)),
            ConverterState::AsFound);
    }
    const char *version = reinterpret_cast<const char *>(block + versionTextOffset);
    const QString versionText
        = QString::fromLatin1(version, int(strnlen(version, versionBlockSize - versionTextOffset)));
    record([&](kelto::upgrade::Outcome &o) { o.bootloaderVersion = versionText; });
    say(versionText);

    if (serial.size() == applicationSerialLength) {
        record([](kelto::upgrade::Outcome &o) { o.mode = "application"; });
        applicationMode = true;
        return true;
    }
    if (serial.size() == bootloaderSerialLength && isBootloaderSerial(serial)) {
        record([](kelto::upgrade::Outcome &o) { o.mode = "bootloader"; });
        say(tr("Bootloader mode"));
        applicationMode = false;
        return true;
    }
    say(tr("Serial:") + serialText(readSerial()));
    return failed(QString("the serial number \"%1\" tells no mode (nine characters while the "
                          "application runs, ten ending in 'b' in the bootloader)")
                      .arg(serialText(serial)),
        ConverterState::AsFound);
}

QByteArray Upgrader::readSerial()
{
    // The serial number is read only from an open device, and any other
    // thread's failed transfer closes it: the ballast poller's requests fail
    // all the time while the bootloader runs. An empty answer therefore
    // usually means the link was closed between our connect and this read,
    // so it is opened again and the read repeated a few times.
    QByteArray serial = untilNul(usb->serialNumber());
    for (int tries = 0; serial.isEmpty() && tries < serialReadTries; ++tries) {
        // A device that cannot be connected has no serial to give.
        if (usb->connect() != 0)
            break;
        serial = untilNul(usb->serialNumber());
    }
    return serial;
}

bool Upgrader::enterBootloader()
{
    enter(Step::EnterBootloader);
    say(tr("Apllication mode"));
    say(tr("Reset device"));
    usb->RunApplication();
    qDebug() << "usb->RunApplication()";
    // A stop during the restart is taken at once: nothing has been written,
    // and the unit comes up in its bootloader with its firmware as found.
    if (kelto::sleepMsUnless(2000, stopRequested) && stopped(ConverterState::Bootloader))
        return false;
    usb->disconnect();
    qDebug() << "usb->disconnect()";
    if (kelto::sleepMsUnless(500, stopRequested) && stopped(ConverterState::Bootloader))
        return false;

    // The restart takes the device off the bus for a while; a failed connect
    // and an application that has not gone yet count alike.
    int attempts = 10;
    for (;;) {
        if (usb->connect() == 0 && isBootloaderSerial(readSerial()))
            break;
        if (kelto::sleepMsUnless(200, stopRequested) && stopped(ConverterState::Bootloader))
            return false;
        if (--attempts == 0) {
            usb->disconnect();
            say(tr("USB timout\nCheck USB cable"));
            return failed("the converter did not come back in its bootloader after the restart",
                ConverterState::Unknown);
        }
    }

    say(tr("Disconnect"));
    usb->disconnect();
    say(tr("Connect"));
    usb->connect();
    say(tr("Serial:") + serialText(readSerial()));
    return true;
}

Upgrader::PageResult Upgrader::writePage(const unsigned char *contents, uint32_t offset)
{
    unsigned char page[pageSize];
    // WritePage encodes the buffer in place.
    std::memcpy(page, contents, sizeof page);
    if (usb->WritePage(page, firmwareAddress + offset) != 0) {
        qDebug() << "page write ERROR";
        return unitLost() ? PageResult::WriteLost : PageResult::WriteRefused;
    }
    qDebug() << "page write OK";
    unsigned char readBack[pageSize];
    std::memset(readBack, 0xFF, sizeof readBack);
    if (usb->ReadMemory(readBack, firmwareAddress + offset, pageSize) != 0) {
        qDebug() << "page read ERROR";
        return unitLost() ? PageResult::ReadLost : PageResult::Unread;
    }
    return std::memcmp(readBack, contents, sizeof readBack) == 0 ? PageResult::Verified
                                                                 : PageResult::Differs;
}

bool Upgrader::writeFirmware(const PagePlan &plan)
{
    unsigned char page[pageSize];
    int unverified = 0;
    for (int n = 0; n < plan.writes(); ++n) {
        if (n > 0 && stopped(ConverterState::Bootloader))
            return false;
        const uint32_t offset = plan.offset(n);
        const int number = int(offset / pageSize) + 1;
        plan.contents(n, page);
        const PageResult result = writePage(page, offset);
        if (result == PageResult::WriteLost || result == PageResult::WriteRefused) {
            say(tr("ERROR"));
            if (result == PageResult::WriteLost)
                return failed(QString("the converter left the bus or stopped answering while "
                                      "page %1 at %2 was written")
                                  .arg(number)
                                  .arg(address(firmwareAddress + offset)),
                    whereLost());
            return failed(QString("the converter refused page %1 at %2")
                              .arg(number)
                              .arg(address(firmwareAddress + offset)),
                ConverterState::Bootloader);
        }
        record([](kelto::upgrade::Outcome &o) { ++o.pagesWritten; });
        if (result == PageResult::Verified) {
            record([](kelto::upgrade::Outcome &o) { ++o.pagesVerified; });
        } else {
            ++unverified;
            if (result == PageResult::Differs)
                say(tr("ERROR"));
        }
        emit sendPercent((n + 1) * 100 / plan.writes());
        // A unit that has gone or stopped answering would cost a timeout or
        // a failed reconnect on each of the pages left.
        if (result == PageResult::ReadLost) {
            qDebug() << "page loop ended: the device does not answer";
            say(tr("Firmware verification failed\nStart the upgrade again"));
            return failed(QString("the converter left the bus or stopped answering while page "
                                  "%1 was read back")
                              .arg(number),
                whereLost());
        }
    }

    // Starting an application that was not read back intact could leave the
    // unit without a working firmware; in the bootloader it can simply be
    // upgraded again.
    if (unverified > 0) {
        say(tr("Firmware verification failed\nStart the upgrade again"));
        return failed(QString("%1 of %2 pages did not read back as written")
                          .arg(unverified)
                          .arg(kelto::upgrade::pageCount),
            ConverterState::Bootloader);
    }
    say(tr("OK"));
    return true;
}

ConverterState Upgrader::whereLost()
{
    // Before the commit a unit that lost its link or its power comes back
    // in its bootloader within a re-enumeration; one not seen by then is
    // unknown.
    const uint64_t start = kelto::clockMs();
    for (int attempt = 0; attempt < lostPolls && kelto::clockMs() - start < lostWaitMs; ++attempt) {
        if (usb->connect() == 0 && isBootloaderSerial(readSerial()))
            return ConverterState::Bootloader;
        if (kelto::sleepMsUnless(startPollMs, stopRequested))
            break;
    }
    return ConverterState::Unknown;
}

bool Upgrader::commitApplication(const PagePlan &plan)
{
    unsigned char page[pageSize];
    plan.commitContents(page);
    const uint32_t offset = plan.commitOffset();
    const PageResult result = writePage(page, offset);
    if (result == PageResult::Verified)
        return true;
    say(tr("ERROR"));
    say(tr("Firmware verification failed\nStart the upgrade again"));
    const QString at = address(firmwareAddress + offset);
    if (result == PageResult::WriteLost || result == PageResult::ReadLost)
        return failed(QString("the converter left the bus or stopped answering while the last "
                              "page at %1, which makes the application startable, was written")
                          .arg(at),
            ConverterState::Unknown);
    if (result == PageResult::WriteRefused)
        return failed(QString("the converter refused the last page at %1, which makes the "
                              "application startable")
                          .arg(at),
            ConverterState::Bootloader);
    // Written but not seen to be right: the page goes back to its erased
    // checksum word, so that the bootloader does not start what nobody has
    // verified.
    plan.contents(0, page);
    if (writePage(page, offset) != PageResult::Verified)
        return failed(QString("the last page at %1 did not read back as written, and the "
                              "converter did not take it back")
                          .arg(at),
            ConverterState::Unknown);
    return failed(QString("the last page at %1 did not read back as written; the application "
                          "was left unstartable")
                      .arg(at),
        ConverterState::Bootloader);
}

bool Upgrader::writeExternalFlash(const QByteArray &external)
{
    // The external flash keeps the section as the file stores it, encoded.
    QByteArray writeBuffer = external;
    auto *write = reinterpret_cast<unsigned char *>(writeBuffer.data());
    encodeImage(write, externalSize);

    enter(Step::ExternalWrite);
    say(tr("Writting External Flash ... "));
    // A stop is taken between two chunks of the section, not after it.
    usb->setStopFlag(&stopRequested);
    const int written = usb->WriteExternalFlash(write, 0, externalSize);
    usb->setStopFlag(nullptr);
    if (written != 0 && stopped(ConverterState::Bootloader))
        return false;
    if (written != 0) {
        say(tr("Error"));
        if (unitLost())
            return failed("the converter left the bus or stopped answering while the external "
                          "flash was written",
                whereLost());
        return failed("the external flash write failed", ConverterState::Bootloader);
    }
    say(tr("OK"));
    if (stopped(ConverterState::Bootloader))
        return false;
    enter(Step::ExternalVerify);
    say(tr("Verify External Flash ...  "));

    QByteArray readBuffer(int(externalSize), '\0');
    auto *read = reinterpret_cast<unsigned char *>(readBuffer.data());
    usb->setStopFlag(&stopRequested);
    const int readBack = usb->ReadExternalFlash(read, 0, externalSize);
    usb->setStopFlag(nullptr);
    if (readBack != 0 && stopped(ConverterState::Bootloader))
        return false;
    if (readBack != 0) {
        say(tr("Error"));
        if (unitLost())
            return failed("the converter left the bus or stopped answering while the external "
                          "flash was read back",
                whereLost());
        return failed("the external flash read-back failed", ConverterState::Bootloader);
    }
    decodeImage(read, externalSize);
    if (readBuffer != external) {
        const auto *expected = reinterpret_cast<const unsigned char *>(external.constData());
        kelto::upgrade::ExternalMismatch m;
        m.found = true;
        for (uint32_t i = 0; i < externalSize; ++i) {
            if (read[i] == expected[i])
                continue;
            if (m.differing++ == 0) {
                m.firstOffset = i;
                m.expected = expected[i];
                m.actual = read[i];
            }
        }
        record([&](kelto::upgrade::Outcome &o) { o.external = m; });
        say(tr("Error"));
        if (runOptions.mismatchDumps) {
            emit sendText(tr("read_buffer"));
            emit sendText(QString::fromLatin1(dumpBuffer(read, int(externalSize))));
            emit sendText(tr("ext_datas.data()"));
            emit sendText(QString::fromLatin1(dumpBuffer(expected, int(externalSize))));
        }
        return failed(QString("the external flash differs from the file in %1 bytes, first at "
                              "external flash address 0x%2 (0x%3 written, 0x%4 read back)")
                          .arg(m.differing)
                          .arg(m.firstOffset, 5, 16, QChar('0'))
                          .arg(m.expected, 2, 16, QChar('0'))
                          .arg(m.actual, 2, 16, QChar('0')),
            ConverterState::Bootloader);
    }
    say(tr("OK"));
    return true;
}

bool Upgrader::startApplication()
{
    // Request 4 toggles the mode: a unit already running its application
    // (nothing before the commit makes that possible, but a unit found
    // there is not to be sent back) is not asked. A request refused once is
    // asked again; one whose unit left the bus has done its work.
    bool refused = false;
    if (readSerial().size() != applicationSerialLength) {
        for (int tries = 0; tries < 2; ++tries) {
            refused = usb->RunApplication() != 0
                && UsbDevice::lastLinkError() == UsbDevice::LinkError::Refused;
            if (!refused)
                break;
        }
    }
    const bool stop = kelto::sleepMsUnless(1000, stopRequested);
    usb->disconnect();
    if (stop && stopped(ConverterState::Unknown))
        return false;
    if (!runOptions.confirmStart) {
        record([](kelto::upgrade::Outcome &o) { o.converter = ConverterState::NewApplication; });
        return true;
    }
    return confirmApplication(refused);
}

bool Upgrader::confirmApplication(bool refused)
{
    // Only a converter seen running its application has taken the new
    // firmware. One seen in its bootloader did not restart (the request was
    // lost, or refused) and is asked once more: a bootloader that finds the
    // image unfit stays where it is.
    bool bootloaderSeen = false;
    bool askedAgain = false;
    const uint64_t start = kelto::clockMs();
    for (int attempt = 0; attempt < startPolls && kelto::clockMs() - start < startWaitMs;
         ++attempt) {
        if (stopped(ConverterState::Unknown))
            return false;
        if (usb->connect() == 0) {
            const QByteArray serial = readSerial();
            if (serial.size() == applicationSerialLength) {
                usb->disconnect();
                record([](kelto::upgrade::Outcome &o) {
                    o.converter = ConverterState::NewApplication;
                });
                return true;
            }
            if (isBootloaderSerial(serial)) {
                bootloaderSeen = true;
                if (!askedAgain) {
                    askedAgain = true;
                    refused = usb->RunApplication() != 0
                        && UsbDevice::lastLinkError() == UsbDevice::LinkError::Refused;
                }
            }
            usb->disconnect();
        }
        kelto::sleepMsUnless(startPollMs, stopRequested);
    }
    if (stopped(ConverterState::Unknown))
        return false;
    if (bootloaderSeen) {
        say(refused ? tr("Start Error\nThe converter refused to start the new firmware")
                    : tr("Start Error\nThe converter stays in its bootloader"));
        return failed(refused ? QString("the converter refused the request to start the new "
                                        "application")
                              : QString("the converter stays in its bootloader: it did not start "
                                        "the new application"),
            ConverterState::Bootloader);
    }
    say(tr("Start Error\nThe converter did not come back"));
    return failed("the converter did not come back after the restart into the new application",
        ConverterState::Unknown);
}
