#include "bootloaderimage.h"

#include "flashimage.h"

#include <QFile>

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

int writeFile(const QString &path, const QByteArray &image)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    if (file.write(image) != image.size())
        return -1;
    file.close();
    return file.error() == QFileDevice::NoError ? 0 : -1;
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
    return date.year() % 100;
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
