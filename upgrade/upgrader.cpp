#include "upgrader.h"

#include "delay.h"
#include "dumpbuffer.h"
#include "flashimage.h"
#include "imagecodec.h"
#include "pageplan.h"
#include "upgradefile.h"
#include "usbmirel.h"
#include "waitpolicy.h"

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

// The external flash section as it is written and stored: encoded.
QByteArray encodedExternal(const QByteArray &external)
{
    QByteArray encoded = external;
    encodeImage(reinterpret_cast<unsigned char *>(encoded.data()), uint32_t(encoded.size()));
    return encoded;
}

bool unitLost()
{
    const auto why = UsbDevice::lastLinkError();
    return why == UsbDevice::LinkError::Gone || why == UsbDevice::LinkError::Timeout;
}

} // namespace

using kelto::upgrade::ConverterState;
using kelto::upgrade::PagePlan;
using kelto::upgrade::Step;
using kelto::upgrade::WaitPolicy;

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

    const QByteArray external = image.mid(int(externalOffset), int(externalSize));
    PagePlan plan(
        image.mid(int(firmwareOffset), int(firmwareSize)), int(externalSize / PagePlan::chunkSize));
    // A running application that already is the file's firmware is left
    // running: no restart, no write.
    if (runOptions.skipUnchanged && applicationMode) {
        if (!readUnit(plan, encodedExternal(external), ConverterState::AsFound))
            return;
        if (!plan.changesAnything()) {
            say(tr("Firmware unchanged"));
            usb->disconnect();
            record([&](kelto::upgrade::Outcome &o) {
                o.pagesSkipped = o.pagesVerified = plan.pagesLeftOut();
                o.chunksSkipped = plan.chunksLeftOut();
                o.converter = ConverterState::NewApplication;
                o.success = true;
            });
            return;
        }
        if (stopped(ConverterState::AsFound))
            return;
    }
    if (applicationMode && !enterBootloader())
        return;
    if (stopped(ConverterState::Bootloader))
        return;
    // What the writes leave out is decided on what the bootloader reads, not
    // on what the application showed before its restart.
    if (runOptions.skipUnchanged
        && !readUnit(plan, encodedExternal(external), ConverterState::Bootloader))
        return;
    if (stopped(ConverterState::Bootloader))
        return;

    // Until the commit, the last write before the restart, the bootloader
    // finds no fit application: whatever ends the run before it leaves a
    // unit that powers up in its bootloader, ready for the next run.
    enter(Step::Firmware);
    say(tr("Writting firmware ... "));
    if (!writeFirmware(plan))
        return;
    if (stopped(ConverterState::Bootloader))
        return;
    if (!writeExternalFlash(external, plan))
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

    QString versionText;
    if (usb->ReadBootloaderVersion(versionText) != 0) {
        say(tr("Bootloader Version Read Error"));
        return failed(
            QString("the converter did not answer the read of its bootloader version at %1")
                .arg(address(USBMIREL::bootloaderVersionAddress)),
            ConverterState::AsFound);
    }
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
    const uint64_t asked = kelto::clockMs();
    qDebug() << "usb->RunApplication()";
    // A stop during the restart is taken at once: nothing has been written,
    // and the unit comes up in its bootloader with its firmware as found.
    const WaitPolicy waits(runOptions.waits);
    if (waits.settle(2000, stopRequested) && stopped(ConverterState::Bootloader))
        return false;
    usb->disconnect();
    qDebug() << "usb->disconnect()";
    if (waits.settle(500, stopRequested) && stopped(ConverterState::Bootloader))
        return false;

    // The restart takes the device off the bus for a while; a failed connect
    // and an application that has not gone yet count alike.
    const auto back = waits.lookFor(
        {2500, 10, 200, 2000}, asked,
        [this](bool) { return usb->connect() == 0 && isBootloaderSerial(readSerial()); },
        stopRequested);
    if (back == WaitPolicy::Result::Stopped && stopped(ConverterState::Bootloader))
        return false;
    if (back != WaitPolicy::Result::Seen) {
        usb->disconnect();
        say(tr("USB timout\nCheck USB cable"));
        return failed("the converter did not come back in its bootloader after the restart",
            ConverterState::Unknown);
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

ConverterState Upgrader::lostOr(ConverterState state)
{
    if (!unitLost())
        return state;
    return state == ConverterState::Bootloader ? whereLost() : ConverterState::Unknown;
}

bool Upgrader::readUnit(PagePlan &plan, const QByteArray &encoded, ConverterState state)
{
    // A read the converter refuses (an application may not serve them all)
    // counts as a difference: it costs a write, never a skipped page. A unit
    // that leaves ends the run.
    enter(Step::Compare);
    say(tr("Reading what the converter holds ... "));
    unsigned char held[pageSize];
    unsigned char wanted[pageSize];
    std::vector<bool> pagesHeld;
    for (int i = 0; i < plan.pages(); ++i) {
        if (stopped(state))
            return false;
        const uint32_t offset = uint32_t(i) * pageSize;
        const bool read = usb->ReadMemory(held, firmwareAddress + offset, pageSize) == 0;
        if (!read && unitLost()) {
            say(tr("Error"));
            return failed(QString("the converter left the bus or stopped answering while page "
                                  "%1 at %2 was read")
                              .arg(i + 1)
                              .arg(address(firmwareAddress + offset)),
                lostOr(state));
        }
        plan.target(offset, wanted);
        pagesHeld.push_back(read && std::memcmp(held, wanted, pageSize) == 0);
    }
    QByteArray stored(encoded.size(), '\0');
    usb->setStopFlag(&stopRequested);
    const int read = usb->ReadExternalFlash(
        reinterpret_cast<unsigned char *>(stored.data()), 0, uint32_t(stored.size()));
    usb->setStopFlag(nullptr);
    if (read != 0 && stopped(state))
        return false;
    if (read != 0 && unitLost()) {
        say(tr("Error"));
        return failed("the converter left the bus or stopped answering while its external flash "
                      "was read",
            lostOr(state));
    }
    std::vector<bool> chunksHeld;
    for (int c = 0; c < plan.chunks() && read == 0; ++c) {
        const int at = c * int(PagePlan::chunkSize);
        chunksHeld.push_back(
            stored.mid(at, int(PagePlan::chunkSize)) == encoded.mid(at, int(PagePlan::chunkSize)));
    }
    plan.leaveOut(pagesHeld, chunksHeld);
    say(tr("%1 pages and %2 external flash chunks to write")
            .arg(plan.changesAnything() ? plan.pages() - plan.pagesLeftOut() : 0)
            .arg(plan.chunks() - plan.chunksLeftOut()));
    return true;
}

bool Upgrader::writeFirmware(const PagePlan &plan)
{
    unsigned char page[pageSize];
    int unverified = 0;
    // A page that already holds the file's bytes has been read back right.
    record([&](kelto::upgrade::Outcome &o) {
        o.pagesSkipped = plan.pagesLeftOut();
        o.pagesVerified = plan.pagesLeftOut();
    });
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
    // Nothing was written: the application is as startable as it was.
    if (plan.writes() == 0)
        return true;
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

bool Upgrader::writeExternalFlash(const QByteArray &external, const PagePlan &plan)
{
    // The external flash keeps the section as the file stores it, encoded.
    QByteArray writeBuffer = encodedExternal(external);
    auto *write = reinterpret_cast<unsigned char *>(writeBuffer.data());

    record([&](kelto::upgrade::Outcome &o) { o.chunksSkipped = plan.chunksLeftOut(); });
    // Every chunk already held (and so read back right): nothing to do.
    if (plan.chunksLeftOut() == plan.chunks() && plan.chunks() > 0)
        return true;
    enter(Step::ExternalWrite);
    say(tr("Writting External Flash ... "));
    // A stop is taken between two chunks of the section, not after it. The
    // chunks to write go in runs of neighbours, one call per run.
    usb->setStopFlag(&stopRequested);
    int written = 0;
    const uint32_t chunk = PagePlan::chunkSize;
    for (int c = 0; c < plan.chunks() && written == 0;) {
        if (!plan.writesChunk(c)) {
            ++c;
            continue;
        }
        int end = c;
        while (end < plan.chunks() && plan.writesChunk(end))
            ++end;
        written = usb->WriteExternalFlash(write + c * chunk, c * chunk, uint32_t(end - c) * chunk);
        if (written == 0)
            record([&](kelto::upgrade::Outcome &o) { o.chunksWritten += end - c; });
        c = end;
    }
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
    const uint64_t asked = kelto::clockMs();
    if (readSerial().size() != applicationSerialLength) {
        for (int tries = 0; tries < 2; ++tries) {
            refused = usb->RunApplication() != 0
                && UsbDevice::lastLinkError() == UsbDevice::LinkError::Refused;
            if (!refused)
                break;
        }
    }
    const WaitPolicy waits(runOptions.waits);
    const bool stop = waits.settle(1000, stopRequested);
    usb->disconnect();
    if (stop && stopped(ConverterState::Unknown))
        return false;
    // Without a settling sleep only the unit seen back tells that the
    // restart is over, so a polled wait always confirms.
    if (!runOptions.confirmStart && waits.kind() == WaitPolicy::Kind::Fixed) {
        record([](kelto::upgrade::Outcome &o) { o.converter = ConverterState::NewApplication; });
        return true;
    }
    return confirmApplication(refused, asked);
}

bool Upgrader::confirmApplication(bool refused, uint64_t asked)
{
    // Only a converter seen running its application has taken the new
    // firmware. One seen in its bootloader did not restart (the request was
    // lost, or refused) and is asked once more: a bootloader that finds the
    // image unfit stays where it is.
    // A bootloader seen before the written settle time may only not have
    // left yet: it is neither asked again nor counted.
    bool bootloaderSeen = false;
    bool askedAgain = false;
    const auto look = [&](bool judge) {
        if (usb->connect() != 0)
            return false;
        const QByteArray serial = readSerial();
        const bool running = serial.size() == applicationSerialLength;
        if (!running && judge && isBootloaderSerial(serial)) {
            bootloaderSeen = true;
            if (!askedAgain) {
                askedAgain = true;
                refused = usb->RunApplication() != 0
                    && UsbDevice::lastLinkError() == UsbDevice::LinkError::Refused;
            }
        }
        usb->disconnect();
        return running;
    };
    const WaitPolicy waits(runOptions.waits);
    if (waits.lookFor({1000, startPolls, startPollMs, startWaitMs}, asked, look, stopRequested)
        == WaitPolicy::Result::Seen) {
        record([](kelto::upgrade::Outcome &o) { o.converter = ConverterState::NewApplication; });
        return true;
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
