// The window's image file commands. They only ask, call and report: the
// image work lives in upgradefile and bootloaderimage, which a command-line
// tool shares.
#include "bootloaderimage.h"
#include "darvo_bootloader.h"
#include "flashimage.h"
#include "ui_darvo_bootloader.h"
#include "upgradefile.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace {

// Conversion errors are shown twice, in the log and in a box the operator
// has to close, because the saved file may be incomplete.
void reportConversion(QWidget *parent, QTextBrowser *log, int result)
{
    const QString text = Darvo_bootloader::tr("HexToBin error: %1)").arg(result);
    log->append(text);
    QMessageBox::critical(parent, Darvo_bootloader::tr("Error"), text, QMessageBox::Ok);
}

// A file that was not written must not pass for one that was. The reason
// names the file and why (refused, cannot be created, disk full).
void reportWrite(QWidget *parent, QTextBrowser *log, const QString &reason)
{
    const QString text = Darvo_bootloader::tr("File write error: %1").arg(reason);
    log->append(text);
    QMessageBox::critical(parent, Darvo_bootloader::tr("Error"), text, QMessageBox::Ok);
}

} // namespace

void Darvo_bootloader::slotpushButtonCreateUpg(bool)
{
    qDebug("Darvo_bootloader::slotpushButtonCreateUpg(bool t)");
    ui->txt->clear();

    const QString hexFile = QFileDialog::getOpenFileName(
        this, tr("Open File"), "E:\\Projekty\\ARM\\Kelto\\out", tr("Hex (*.hex)"));
    QByteArray image = kelto::upgradefile::blankImage();
    if (hexFile.isEmpty())
        return;

    const int application = kelto::upgradefile::convertApplication(hexFile, image);
    if (application == 0) {
        if (!kelto::upgradefile::brandAccepted(image)) {
            ui->txt->append("Err: Invalid brand!");
            return;
        }
    } else {
        reportConversion(this, ui->txt, application);
    }
    const int external = kelto::upgradefile::convertExternal(hexFile, image);
    if (external != 0)
        reportConversion(this, ui->txt, external);
    kelto::flash::storeChecksums(reinterpret_cast<unsigned char *>(image.data()));

    const QString upgFile
        = QFileDialog::getSaveFileName(this, tr("Save File"), ".", tr("Upg (*.upg)"));
    if (upgFile.isEmpty())
        return;

    // Saving over the build itself, or onto a device node or a FIFO, is
    // refused rather than destroying it.
    QString error;
    if (kelto::upgradefile::writeFile(upgFile, image, &error, {hexFile}) != 0)
        reportWrite(this, ui->txt, error);
}

void Darvo_bootloader::slotpushButtonCreateBootBin(bool)
{
    const QString hexFile
        = QFileDialog::getOpenFileName(this, tr("Open File"), ".", tr("Hex (*.hex)"));
    if (hexFile.isEmpty())
        return;

    QByteArray image;
    // A broken build must not be stamped and shipped in every unit.
    const int result = kelto::bootimage::convert(hexFile, image);
    if (result != 0) {
        reportConversion(this, ui->txt, result);
        return;
    }
    if (!kelto::bootimage::brandAccepted(image)) {
        ui->txt->append("Err: Invalid brand!");
        return;
    }

    const QDate today = kelto::bootimage::currentDate();
    bool ok = false;
    const QString year = QInputDialog::getItem(this, tr("Production year"), tr("Year(YY)"),
        kelto::bootimage::yearItems(), kelto::bootimage::yearPreselection(today), false, &ok);
    if (!ok)
        return;
    const QString week = QInputDialog::getItem(this, tr("Production week"), tr("Week(WW)"),
        kelto::bootimage::weekItems(), kelto::bootimage::weekPreselection(today), false, &ok);
    if (!ok)
        return;
    if (const QString why = kelto::bootimage::weekRefusal(year, week); !why.isEmpty()) {
        ui->txt->append("Err: " + why);
        return;
    }

    const int number = QInputDialog::getInt(
        this, tr("Production number"), tr("Number(NNNN)"), 1, 1, 9999, 1, &ok);
    if (!ok)
        return;
    ui->txt->append(tr("prod_number %1").arg(number));
    // For number 9999 the range is 1 to 0, which the dialog narrows to 1.
    const int count
        = QInputDialog::getInt(this, tr("Iteration"), tr("Count:"), 1, 1, 9999 - number, 1, &ok);
    if (!ok)
        return;
    ui->txt->append(tr("iter %1").arg(count));
    // A serial is issued once: no image made before is replaced.
    if (const QStringList existing
        = kelto::bootimage::existingImages(QDir::currentPath(), year, week, number, count);
        !existing.isEmpty()) {
        ui->txt->append("Err: " + kelto::bootimage::existingImagesRefusal(existing));
        return;
    }

    for (int unit = number; unit < number + count; ++unit) {
        const QString serial = kelto::bootimage::serial(year, week, unit);
        ui->txt->append(serial);
        kelto::bootimage::stampSerial(image, serial);
        const QString name = kelto::bootimage::fileName(serial);
        QString error;
        if (kelto::bootimage::writeFile(name, image, &error, {hexFile}) != 0) {
            reportWrite(this, ui->txt, error);
            return;
        }
        ui->txt->append(tr("New bootloader + serial:"));
        ui->txt->append(name);
    }
}
