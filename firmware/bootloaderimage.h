#ifndef KELTO_FIRMWARE_BOOTLOADERIMAGE_H
#define KELTO_FIRMWARE_BOOTLOADERIMAGE_H

#include "hexreader.h"

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>

// Per-unit bootloader images: one bootloader build, each copy stamped with
// the unit's production serial number YYWW0NNNN.
namespace kelto::bootimage {

// A zero-filled bootloader window with the HEX build's bytes in it; returns
// the HexToBin result.
int convert(const QString &hexFile, QByteArray &image);
// The same in the strict reading.
hex::Result convertStrict(const QString &hexFile, QByteArray &image);
bool brandAccepted(const QByteArray &image);

// "YYWW0NNNN" from the two dialog texts and the unit number.
QString serial(const QString &year, const QString &week, int unit);
// Writes the serial's nine ASCII characters at the serial offset; the bytes
// after it keep what the build put there.
void stampSerial(QByteArray &image, const QString &serial);
QString fileName(const QString &serial);
// Writes the image to `path` (kelto::output); 0, or -1 with the reason in
// `error`.
int writeFile(const QString &path, const QByteArray &image, QString *error = nullptr,
    const QStringList &inputs = {});

// The choices of the year and week dialogs and the ones preselected for a
// date: the ISO week and the year it belongs to (its week-year), so that
// 1 January may still be week 52 or 53 of the year before and 30 December
// week 1 of the next.
QStringList yearItems();
QStringList weekItems();
int yearPreselection(const QDate &date);
int weekPreselection(const QDate &date);
// How many ISO weeks (52 or 53) the year of the year item `yearIndex` has.
int weeksInYear(int yearIndex);
// Empty when the year item has the week item; otherwise why not.
QString weekRefusal(const QString &year, const QString &week);
// The images of units first .. first + count - 1 that exist in `dir`
// already: their serials were issued before.
QStringList existingImages(
    const QString &dir, const QString &year, const QString &week, int first, int count);
// A refusal naming them (the first ten), for the user.
QString existingImagesRefusal(const QStringList &existing);

// The date production runs take as "now"; tests replace it.
QDate currentDate();
void setDateFunction(std::function<QDate()> today);

} // namespace kelto::bootimage

#endif
