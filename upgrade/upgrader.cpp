#include "upgrader.h"

#include "delay.h"
#include "dumpbuffer.h"
#include "flashimage.h"
#include "imagecodec.h"
#include "upgradefile.h"
#include "usbmirel.h"

#include <QDataStream>
#include <QDebug>
#include <QFile>

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

} // namespace

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
}

void Upgrader::run()
{
    std::lock_guard<std::mutex> running(runMutex);
    QString name;
    {
        std::lock_guard<std::mutex> lock(fileNameMutex);
        name = fileName;
    }
    if (name.isNull())
        return;

    QByteArray image;
    if (!readUpgradeFile(name, image))
        return;
    emit sendPercent(0);

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
    if (applicationMode && !enterBootloader())
        return;

    emit sendText(tr("Writting firmware ... "));
    if (!writeFirmware(image.mid(int(firmwareOffset), int(firmwareSize))))
        return;
    if (!writeExternalFlash(image.mid(int(externalOffset), int(externalSize))))
        return;
    startApplication();
}

bool Upgrader::readUpgradeFile(const QString &name, QByteArray &image)
{
    qDebug() << "Start firmware upgrade";
    emit sendText(name);

    // A file that cannot be opened reads as empty and fails the header test.
    QFile file(name);
    file.open(QIODevice::ReadOnly);
    QDataStream in(&file);
    switch (kelto::upgradefile::readHeader(in)) {
    case kelto::upgradefile::ReadStatus::Ok:
        break;
    case kelto::upgradefile::ReadStatus::WrongVersion:
        emit sendText(tr("Wrong file version"));
        return false;
    default:
        emit sendText(tr("Wrong file header"));
        return false;
    }
    // The image block is taken (and decoded in one pass, so that the key
    // position of every section matches the file's) before the device is
    // touched: a truncated block would leave part of the application area
    // to chance and is refused like any other broken file.
    if (kelto::upgradefile::readImage(in, image) != kelto::upgradefile::ReadStatus::Ok) {
        emit sendText(tr("Wrong file header"));
        return false;
    }
    return true;
}

bool Upgrader::connectDevice()
{
    usb->disconnect();
    int retries = 3;
    while (usb->connect() != 0) {
        if (retries == 0) {
            emit sendText(tr("USB Timeout\nCheck USB Cable"));
            return false;
        }
        --retries;
        qDebug("usb->connect()\nmssleep(200)");
        kelto::sleepMs(200);
    }
    return true;
}

bool Upgrader::identify(bool &applicationMode)
{
    const QByteArray serial = readSerial();
    emit sendText(serialText(serial));
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
        emit sendText(tr("Bootloader Version Read Error"));
        return false;
    }
    const char *version = reinterpret_cast<const char *>(block + versionTextOffset);
    emit sendText(
        QString::fromLatin1(version, int(strnlen(version, versionBlockSize - versionTextOffset))));

    if (serial.size() == applicationSerialLength) {
        applicationMode = true;
        return true;
    }
    if (serial.size() == bootloaderSerialLength && isBootloaderSerial(serial)) {
        emit sendText(tr("Bootloader mode"));
        applicationMode = false;
        return true;
    }
    emit sendText(tr("Serial:") + serialText(readSerial()));
    return false;
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
    emit sendText(tr("Apllication mode"));
    emit sendText(tr("Reset device"));
    usb->RunApplication();
    qDebug() << "usb->RunApplication()";
    kelto::sleepMs(2000);
    usb->disconnect();
    qDebug() << "usb->disconnect()";
    kelto::sleepMs(500);

    // The restart takes the device off the bus for a while; a failed connect
    // and an application that has not gone yet count alike.
    int attempts = 10;
    for (;;) {
        if (usb->connect() == 0 && isBootloaderSerial(readSerial()))
            break;
        kelto::sleepMs(200);
        if (--attempts == 0) {
            emit sendText(tr("USB timout\nCheck USB cable"));
            return false;
        }
    }

    emit sendText(tr("Disconnect"));
    usb->disconnect();
    emit sendText(tr("Connect"));
    usb->connect();
    emit sendText(tr("Serial:") + serialText(readSerial()));
    return true;
}

bool Upgrader::writeFirmware(const QByteArray &firmware)
{
    const auto *section = reinterpret_cast<const unsigned char *>(firmware.constData());
    unsigned char page[pageSize];
    unsigned char expected[pageSize];
    unsigned char readBack[pageSize];
    bool allVerified = true;
    bool unitLost = false;
    uint32_t offset = 0;
    uint32_t remaining = firmwareSize;
    while (remaining > 0) {
        const uint32_t n = remaining < pageSize ? remaining : pageSize;
        std::memset(page, 0xFF, sizeof page);
        std::memcpy(page, section + offset, n);
        // WritePage encodes the buffer in place.
        std::memcpy(expected, page, sizeof page);
        if (usb->WritePage(page, firmwareAddress + offset) != 0) {
            qDebug() << "page write ERROR";
            emit sendText(tr("ERROR"));
            return false;
        }
        qDebug() << "page write OK";

        std::memset(readBack, 0xFF, sizeof readBack);
        if (usb->ReadMemory(readBack, firmwareAddress + offset, pageSize) == 0) {
            if (std::memcmp(readBack, expected, sizeof readBack) != 0) {
                emit sendText(tr("ERROR"));
                allVerified = false;
            }
        } else {
            qDebug() << "page read ERROR";
            allVerified = false;
            // A unit that has gone or stopped answering would cost a
            // timeout or a failed reconnect on each of the pages left.
            const auto why = UsbDevice::lastLinkError();
            unitLost = why == UsbDevice::LinkError::Gone || why == UsbDevice::LinkError::Timeout;
        }

        offset += pageSize;
        remaining -= n;
        emit sendPercent(int((firmwareSize - remaining) * 100u / firmwareSize));
        if (unitLost) {
            qDebug() << "page loop ended: the device does not answer";
            break;
        }
    }

    // Starting an application that was not read back intact could leave the
    // unit without a working firmware; in the bootloader it can simply be
    // upgraded again.
    if (!allVerified) {
        emit sendText(tr("Firmware verification failed\nStart the upgrade again"));
        return false;
    }
    emit sendText(tr("OK"));
    return true;
}

bool Upgrader::writeExternalFlash(const QByteArray &external)
{
    // The external flash keeps the section as the file stores it, encoded.
    QByteArray writeBuffer = external;
    auto *write = reinterpret_cast<unsigned char *>(writeBuffer.data());
    encodeImage(write, externalSize);

    emit sendText(tr("Writting External Flash ... "));
    if (usb->WriteExternalFlash(write, 0, externalSize) != 0) {
        emit sendText(tr("Error"));
        return false;
    }
    emit sendText(tr("OK"));
    emit sendText(tr("Verify External Flash ...  "));

    QByteArray readBuffer(int(externalSize), '\0');
    auto *read = reinterpret_cast<unsigned char *>(readBuffer.data());
    if (usb->ReadExternalFlash(read, 0, externalSize) != 0) {
        emit sendText(tr("Error"));
        return false;
    }
    decodeImage(read, externalSize);
    if (readBuffer != external) {
        const auto *expected = reinterpret_cast<const unsigned char *>(external.constData());
        emit sendText(tr("Error"));
        emit sendText(tr("read_buffer"));
        emit sendText(QString::fromLatin1(dumpBuffer(read, int(externalSize))));
        emit sendText(tr("ext_datas.data()"));
        emit sendText(QString::fromLatin1(dumpBuffer(expected, int(externalSize))));
        return false;
    }
    emit sendText(tr("OK"));
    return true;
}

void Upgrader::startApplication()
{
    // Request 4 toggles the mode. A device that restarted on its own during
    // the external flash transfers (which the application serves too) is
    // already running the new application, and the request would send it
    // back into its bootloader after the run has reported success.
    if (readSerial().size() != applicationSerialLength)
        usb->RunApplication();
    kelto::sleepMs(1000);
    usb->disconnect();
}
