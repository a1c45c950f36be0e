// External flash commands of the window: read with a dump, fill with one
// byte value, and write a binary file to address 0 with a read-back verify.
// The external flash holds its data in the image encoding, so these slots
// encode before writing and decode after reading; the operator deals only
// in plain data.
#include "darvo_bootloader.h"

#include "boundedread.h"
#include "dumpbuffer.h"
#include "hexinput.h"
#include "imagecodec.h"
#include "ui_darvo_bootloader.h"
#include "usbmirel.h"

#include <QDebug>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Size of the converter's external flash; also the largest read or fill.
constexpr int extFlashSize = 1048576;

} // namespace

void Darvo_bootloader::slotpushButtonReadExternalFlash(bool)
{
    static uint32_t extReadAddress = 0;
    static int32_t extReadLength = 512;

    qDebug() << "Darvo_bootloader::slotpushButtonReadExternalFlash(bool t)";

    bool ok = false;
    const QString text = QInputDialog::getText(this, tr("Read External Flash From Mirel"),
        tr("Address (hex)"), QLineEdit::Normal, kelto::hexDefault(extReadAddress), &ok);
    if (!ok)
        return;

    const int length = QInputDialog::getInt(this, tr("Read External Flash From Mirel"),
        tr("Length (dec)"), extReadLength, 1, extFlashSize, 1, &ok);
    if (!ok)
        return;
    extReadLength = length;

    extReadAddress = kelto::parseHex(text, &ok);
    if (!ok) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"), QMessageBox::Ok);
        return;
    }

    std::vector<unsigned char> buffer(static_cast<size_t>(extReadLength), 0);
    if (device->ReadExternalFlash(
            buffer.data(), extReadAddress, static_cast<uint32_t>(extReadLength))
        != 0) {
        // The box goes away; the log keeps the fact that this read failed.
        qDebug() << "Read ERROR";
        ui->txt->append("Read ERROR");
        QMessageBox::warning(
            this, tr("error"), tr("ReadExternalFlashFromAddress error"), QMessageBox::Ok);
        return;
    }

    decodeImage(buffer.data(), static_cast<uint32_t>(extReadLength));
    ui->txt->clear();
    ui->txt->append(QString::fromLatin1(dumpBuffer(buffer.data(), extReadLength)));
}

void Darvo_bootloader::slotpushButtonWriteExternalFlash(bool)
{
    static uint32_t extWriteAddress = 0;
    static int32_t extWriteLength = 1;
    static uint32_t extWriteData = 1;

    qDebug() << "Darvo_bootloader::slotpushButtonWriteExternalFlash(bool t)";

    bool ok = false;
    const QString addressText = QInputDialog::getText(this, tr("Write To External Flash Mirel"),
        tr("Address (hex)"), QLineEdit::Normal, kelto::hexDefault(extWriteAddress), &ok);
    if (!ok)
        return;
    extWriteAddress = kelto::parseHex(addressText, &ok);
    if (!ok) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"), QMessageBox::Ok);
        return;
    }

    const int length = QInputDialog::getInt(this, tr("Write To External Flash Mirel"),
        tr("Length (dec)"), extWriteLength, 1, extFlashSize, 1, &ok);
    if (!ok)
        return;
    extWriteLength = length;

    const QString dataText = QInputDialog::getText(this, tr("Write To External Flash Mirel"),
        tr("Data(hex)"), QLineEdit::Normal, kelto::hexDefault(extWriteData), &ok);
    if (!ok)
        return;
    extWriteData = kelto::parseHex(dataText, &ok);
    if (!ok) {
        QMessageBox::warning(this, tr("error"), tr("Conversion error"), QMessageBox::Ok);
        return;
    }

    std::vector<unsigned char> buffer(
        static_cast<size_t>(extWriteLength), static_cast<unsigned char>(extWriteData & 0xFF));
    encodeImage(buffer.data(), static_cast<uint32_t>(extWriteLength));
    const int result = device->WriteExternalFlash(
        buffer.data(), extWriteAddress, static_cast<uint32_t>(extWriteLength));

    ui->txt->clear();
    ui->txt->append(QString("lenght: %1").arg(extWriteLength, 8));
    ui->txt->append(QString("address: 0x%1").arg(extWriteAddress, 8, 16));
    ui->txt->append(QString::fromLatin1(dumpBuffer(buffer.data(), extWriteLength)));
    // The three blocks above show what was meant to be written; without this
    // line a failed write would look exactly like a good one.
    if (result != 0) {
        qDebug() << "Write ERROR";
        ui->txt->append("Write ERROR");
    }
}

void Darvo_bootloader::slotpushButtonWriteExtFlashBin(bool)
{
    qDebug() << "Darvo_bootloader::slotpushButtonWriteExtFlashBin(bool t)";

    const QString fileName
        = QFileDialog::getOpenFileName(this, tr("Open File"), ".", tr("Bin (*.bin)"));
    if (fileName.isEmpty())
        return;

    // At most one byte more than the flash holds is read, so a huge file (or
    // a device node that never ends) costs neither memory nor time.
    QByteArray data;
    const kelto::input::Read read = kelto::input::readAll(fileName, extFlashSize, data);
    if (!read.ok()) {
        qDebug() << "read error";
        QMessageBox::critical(this, tr("Error"), read.error, QMessageBox::Ok);
        return;
    }
    const int n = static_cast<int>(data.size());

    // Beyond the flash's end the device would wrap or refuse part of it; do
    // not start a write that cannot verify.
    if (read.exceeded) {
        qDebug() << "length error" << std::max<qint64>(read.size, n);
        QMessageBox::critical(this, tr("Length error"),
            tr("File larger than the external flash (1048576 bytes)"), QMessageBox::Ok);
        return;
    }
    if (n == 0 || n % 4 != 0) {
        qDebug() << "length error" << n;
        QMessageBox::critical(
            this, tr("Length error"), tr("Length should be aligned to 4"), QMessageBox::Ok);
        return;
    }

    const auto length = static_cast<uint32_t>(n);
    std::vector<unsigned char> written(data.constBegin(), data.constEnd());
    encodeImage(written.data(), length);
    if (device->WriteExternalFlash(written.data(), 0, length) != 0) {
        QMessageBox::critical(
            this, tr("Error"), tr("WriteExternalFlashToAddress"), QMessageBox::Ok);
        return;
    }

    std::vector<unsigned char> readBack(length, 0);
    if (device->ReadExternalFlash(readBack.data(), 0, length) != 0) {
        QMessageBox::critical(
            this, tr("Error"), tr("ReadExternalFlashFromAddress"), QMessageBox::Ok);
        return;
    }

    decodeImage(readBack.data(), length);
    if (std::memcmp(readBack.data(), data.constData(), length) == 0)
        QMessageBox::information(this, tr("Info"), tr("Write OK"), QMessageBox::Ok);
    else
        QMessageBox::critical(this, tr("Error"), tr("memcmp"), QMessageBox::Ok);
}

void Darvo_bootloader::slotTabChange(int index)
{
    // The external flash bars live on the Settings tab; elsewhere (also
    // during an upgrade) they stay still. UniqueConnection keeps a repeated
    // call for tab 0 from doubling every progress step.
    switch (index) {
    case 0:
        QObject::connect(device, SIGNAL(sendPercentExtFlashWrite(int)), ui->progressBarExtFlashWr,
            SLOT(setValue(int)), Qt::UniqueConnection);
        QObject::connect(device, SIGNAL(sendPercentExtFlashRead(int)), ui->progressBarExtFlashRd,
            SLOT(setValue(int)), Qt::UniqueConnection);
        break;
    case 1:
    case 2:
        QObject::disconnect(device, SIGNAL(sendPercentExtFlashWrite(int)),
            ui->progressBarExtFlashWr, SLOT(setValue(int)));
        QObject::disconnect(device, SIGNAL(sendPercentExtFlashRead(int)), ui->progressBarExtFlashRd,
            SLOT(setValue(int)));
        break;
    default:
        break;
    }
}
