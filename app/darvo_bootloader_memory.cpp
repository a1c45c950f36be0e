// Connection and device memory commands of the window: connect, disconnect,
// read with a dump, the 512-byte test transfer, one page write and the
// switch between bootloader and application.
#include "darvo_bootloader.h"

#include "dumpbuffer.h"
#include "hexinput.h"
#include "ui_darvo_bootloader.h"
#include "usbmirel.h"

#include <QDebug>
#include <QInputDialog>
#include <QMessageBox>

#include <cstdint>
#include <vector>

namespace {

// Request 2: a plain 512-byte transfer the device takes as a link test.
constexpr uint8_t testRequest = 2;
constexpr int testPatternLength = 512;

// The page a pattern write lands on: inside the application area, so that
// the bootloader accepts it and the bootloader itself is never touched.
constexpr uint32_t patternPageAddress = 0x08005000;
constexpr int pageLength = 2048;

// The largest read offered; 512 transfers of 2048 bytes.
constexpr int maxReadLength = 1048576;

} // namespace

void Darvo_bootloader::slotpushButtonConnect(bool)
{
    qDebug() << "Darvo_bootloader::slotpushButtonConnect(bool t)";
    if (device->connect() == 0) {
        qDebug() << "Connect OK";
        ui->txt->append("Connect OK");
    } else {
        qDebug() << "Connect ERROR";
        ui->txt->append("Connect ERROR");
    }
}

void Darvo_bootloader::slotpushButtonDisconnect(bool)
{
    device->disconnect();
    qDebug() << "Darvo_bootloader::slotpushButtonDisconnect(bool t)";
}

void Darvo_bootloader::slotpushButtonRead(bool)
{
    // Offered again as defaults by the next read, for the life of the process.
    static uint32_t readAddress = 0x08000000;
    static int32_t readLength = 256;

    qDebug() << "Darvo_bootloader::slotpushButtonRead(bool t)";

    bool ok = false;
    const QString text = QInputDialog::getText(this, tr("Read From Mirel"), tr("Address (hex)"),
        QLineEdit::Normal, kelto::hexDefault(readAddress), &ok);
    if (!ok)
        return;

    const int length = QInputDialog::getInt(
        this, tr("Read From Mirel"), tr("Length (dec)"), readLength, 1, maxReadLength, 1, &ok);
    if (!ok)
        return;
    readLength = length;

    readAddress = kelto::parseHex(text, &ok);
    if (!ok) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"), QMessageBox::Ok);
        return;
    }

    // Zero-filled, so that a read that stops early shows zeros rather than
    // whatever the allocator left behind.
    std::vector<unsigned char> buffer(static_cast<size_t>(readLength), 0);
    const int result
        = device->ReadMemory(buffer.data(), readAddress, static_cast<uint32_t>(readLength));

    ui->txt->clear();
    ui->txt->append(QString::fromLatin1(dumpBuffer(buffer.data(), readLength)));
    // The dump of a failed read holds zeros where nothing came; say so, or
    // it reads like memory that is really blank.
    if (result != 0) {
        qDebug() << "Read ERROR";
        ui->txt->append("Read ERROR");
    }
}

void Darvo_bootloader::slotpushButtonWrite(bool)
{
    qDebug() << "Darvo_bootloader::slotpushButtonWrite(bool t)";

    unsigned char buffer[testPatternLength];
    for (int i = 0; i < testPatternLength; ++i)
        buffer[i] = static_cast<unsigned char>(i % 256);

    // A failed transfer has already written its own error line.
    if (device->control_send(testRequest, 0, 0, buffer, testPatternLength) == testPatternLength)
        qDebug() << QString::fromLatin1(dumpBuffer(buffer, testPatternLength));
}

void Darvo_bootloader::slotpushButtonWritePage(bool)
{
    static int32_t pagePattern = 0;

    qDebug() << "Darvo_bootloader::slotpushButtonWritePage(bool t)";

    bool ok = false;
    const int pattern = QInputDialog::getInt(
        this, tr("Fill pattern"), tr("Number (dec)"), pagePattern, 0, 255, 1, &ok);
    if (!ok)
        return;
    pagePattern = pattern;

    // WritePage encodes the buffer in place; it is not used afterwards.
    std::vector<unsigned char> page(pageLength, static_cast<unsigned char>(pagePattern));
    if (device->WritePage(page.data(), patternPageAddress) == 0)
        qDebug() << "page write OK";
    else
        qDebug() << "page write ERROR";
}

void Darvo_bootloader::slotpushButtonRunApplication(bool)
{
    device->RunApplication();
    device->disconnect();
    // If the device is not back yet, the next transfer reconnects by itself,
    // so the result does not matter here.
    device->connect();
}
