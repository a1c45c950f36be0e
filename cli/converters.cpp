#include "converters.h"

#include "inputfile.h"
#include "usbmirel.h"

#include <QRegularExpression>

#include <cstring>

namespace kelto::cli {

namespace {

constexpr uint32_t versionBlockAddress = 0x08003FD0;
constexpr int versionBlockSize = 32;
constexpr int versionTextOffset = 16;

QString accessText(UsbDevice::ConnectFailure failure)
{
    switch (failure) {
    case UsbDevice::ConnectFailure::None:
        return QString();
    case UsbDevice::ConnectFailure::NotAccessible:
        return QStringLiteral("not accessible (permission denied)");
    case UsbDevice::ConnectFailure::InUse:
        return QStringLiteral("in use by another program");
    case UsbDevice::ConnectFailure::NotFound:
        return QStringLiteral("gone");
    case UsbDevice::ConnectFailure::NotIdentified:
        return QStringLiteral("not answering");
    }
    return QString();
}

} // namespace

QString Converter::where() const
{
    return QString("bus %1 device %2").arg(bus, 3, 10, QChar('0')).arg(address, 3, 10, QChar('0'));
}

QString Converter::text() const
{
    QStringList parts {serial.isEmpty() ? QStringLiteral("?") : serial, where()};
    if (!mode.isEmpty())
        parts << mode;
    if (!version.isEmpty())
        parts << version;
    if (!access.isEmpty())
        parts << access;
    return parts.join("  ");
}

QJsonObject Converter::json() const
{
    return QJsonObject {{"serial", serial}, {"usb_serial", usbSerial}, {"mode", mode},
        {"bootloader_version", version}, {"bus", bus}, {"device", address},
        {"accessible", access.isEmpty()}, {"problem", access}};
}

QList<Converter> findConverters(bool withVersions)
{
    QList<Converter> found;
    USBMIREL device;
    for (const UsbDevice::Presence &p : device.survey()) {
        Converter c;
        c.bus = p.bus;
        c.address = p.address;
        c.usbSerial = QString::fromLatin1(p.serial);
        if (p.serial.size() == 10 && p.serial.endsWith('b')) {
            c.serial = c.usbSerial.left(9);
            c.mode = QStringLiteral("bootloader");
        } else if (p.serial.size() == 9) {
            c.serial = c.usbSerial;
            c.mode = QStringLiteral("application");
        } else {
            c.serial = c.usbSerial;
        }
        c.access = accessText(p.access);
        if (withVersions && c.access.isEmpty() && !c.serial.isEmpty()) {
            USBMIREL unit;
            unit.setSerial(p.serial);
            if (unit.connect() != 0) {
                c.access = accessText(unit.lastConnectFailure());
            } else {
                unsigned char block[versionBlockSize] = {};
                if (unit.ReadMemory(block, versionBlockAddress, versionBlockSize) == 0) {
                    const char *text = reinterpret_cast<const char *>(block + versionTextOffset);
                    c.version = QString::fromLatin1(
                        text, int(strnlen(text, versionBlockSize - versionTextOffset)));
                }
                unit.disconnect();
            }
        }
        found << c;
    }
    return found;
}

void addSerialOption(CommandLine &line)
{
    line.addValueOption("serial", "SERIAL");
}

std::optional<int> applySerialOption(const CommandLine &line, USBMIREL &device, Console &console)
{
    if (!line.isSet("serial"))
        return std::nullopt;
    // The unit's nine characters; its bootloader's form is taken too.
    static const QRegularExpression form("^[0-9A-Za-z]{9}b?$");
    const QString serial = line.value("serial");
    if (!form.match(serial).hasMatch())
        return line.usageError(console, "SERIAL must be the converter's nine-character serial");
    device.setSerial(serial.toLatin1());
    return std::nullopt;
}

bool singleConverterOrSerial(const QString &command, const CommandLine &line, Console &console)
{
    if (line.isSet("serial"))
        return true;
    // Counted without opening any; only a refusal has them looked at.
    if (USBMIREL().survey(false).size() <= 1)
        return true;
    const QList<Converter> all = findConverters(false);
    QString message
        = QString("%1 converters present; choose one with --serial SERIAL:").arg(all.size());
    for (const Converter &c : all)
        message += "\n  " + c.text();
    fail(command, message, console);
    return false;
}

} // namespace kelto::cli
