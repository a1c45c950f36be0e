#include "bootloaderimage.h"

#include "flashimage.h"
#include "outputfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>

namespace kelto::bootimage {

namespace {

std::mutex dateLock;
std::function<QDate()> &dateFunction()
{
    static std::function<QDate()> f;
    return f;
}

QStringList twoDigitItems(int first, int last)
{
    QStringList items;
    for (int i = first; i <= last; ++i)
        items << QString("%1").arg(i, 2, 10, QChar('0'));
    return items;
}

} // namespace

int convert(const QString &hexFile, QByteArray &image)
{
    image = QByteArray(int(flash::bootloaderSize), '\0');
    return flash::convertWindow(
        hexFile, reinterpret_cast<unsigned char *>(image.data()), flash::bootloaderWindow);
}

hex::Result convertStrict(const QString &hexFile, QByteArray &image)
{
    image = QByteArray(int(flash::bootloaderSize), '\0');
    const flash::Window &w = flash::bootloaderWindow;
    return hex::readFile(hexFile, hex::Mode::Strict,
        {{w.low, w.high, reinterpret_cast<unsigned char *>(image.data()) + w.offset}});
}

bool brandAccepted(const QByteArray &image)
{
    const auto *p = reinterpret_cast<const unsigned char *>(image.constData());
    return flash::loadLe16(p + flash::bootloaderBrandOffset) == flash::acceptedBrand;
}

QString serial(const QString &year, const QString &week, int unit)
{
    return year + week + "0" + QString("%1").arg(unit, 4, 10, QChar('0'));
}

void stampSerial(QByteArray &image, const QString &serial)
{
    const QByteArray ascii = serial.toLatin1().left(9);
    image.replace(int(flash::bootloaderSerialOffset), int(ascii.size()), ascii);
}

QString fileName(const QString &serial)
{
    return "Kelto_Bootloader" + QString("_") + serial + ".bin";
}

int writeFile(
    const QString &path, const QByteArray &image, QString *error, const QStringList &inputs)
{
    const QString failed = output::write(
        path, [&image](QIODevice &out) { return out.write(image) == image.size(); }, inputs);
    if (error)
        *error = failed;
    return failed.isEmpty() ? 0 : -1;
}

QStringList yearItems()
{
    return twoDigitItems(0, 99);
}

QStringList weekItems()
{
    return twoDigitItems(1, 53);
}

int yearPreselection(const QDate &date)
{
    // The year the ISO week belongs to: 30 December 2024 is in week 1 of
    // 2025, and pairing it with 2024 would repeat the serials of January
    // 2024.
    int weekYear = date.year();
    date.weekNumber(&weekYear);
    return weekYear % 100;
}

int weeksInYear(int yearIndex)
{
    // 28 December is always in the last ISO week of its year.
    return QDate(2000 + yearIndex, 12, 28).weekNumber();
}

QString weekRefusal(const QString &year, const QString &week)
{
    const int weeks = weeksInYear(year.toInt());
    if (week.toInt() <= weeks)
        return QString();
    return QString("%1 has %2 ISO weeks; there is no week %3")
        .arg(2000 + year.toInt())
        .arg(weeks)
        .arg(week.toInt());
}

QStringList existingImages(
    const QString &dir, const QString &year, const QString &week, int first, int count)
{
    QStringList existing;
    for (int unit = first; unit < first + count; ++unit) {
        const QString path = QDir(dir).filePath(fileName(serial(year, week, unit)));
        // A folder in the way is no image: writing there fails and says so.
        if (QFileInfo(path).isFile())
            existing << path;
    }
    return existing;
}

QString existingImagesRefusal(const QStringList &existing)
{
    constexpr int shown = 10;
    QString names = existing.mid(0, shown).join("\n  ");
    if (existing.size() > shown)
        names += QString("\n  and %1 more").arg(existing.size() - shown);
    return QString("%1 of the images exist already; their serials were issued before, so "
                   "nothing was written:\n  %2")
        .arg(existing.size())
        .arg(names);
}

int weekPreselection(const QDate &date)
{
    return date.weekNumber() - 1;
}

QDate currentDate()
{
    std::lock_guard<std::mutex> guard(dateLock);
    const auto &f = dateFunction();
    return f ? f() : QDate::currentDate();
}

void setDateFunction(std::function<QDate()> today)
{
    std::lock_guard<std::mutex> guard(dateLock);
    dateFunction() = std::move(today);
}

} // namespace kelto::bootimage
