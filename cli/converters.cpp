#include "converters.h"

#include "exitcode.h"
#include "inputfile.h"
#include "usbmirel.h"

#include <QRegularExpression>

#include <cstring>

namespace kelto::cli {

namespace {

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
    const QString at
        = QString("bus %1 device %2").arg(bus, 3, 10, QChar('0')).arg(address, 3, 10, QChar('0'));
    return port.isEmpty() ? at : QString("port %1  %2").arg(port, at);
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
        {"bootloader_version", version}, {"bus", bus}, {"device", address}, {"port", port},
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
        c.port = p.port;
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
            unit.setPort(p.port);
            if (unit.connect() != 0) {
                c.access = accessText(unit.lastConnectFailure());
            } else {
                unit.ReadBootloaderVersion(c.version);
                unit.disconnect();
            }
        }
        found << c;
    }
    return found;
}

void addUnitOptions(CommandLine &line)
{
    line.addValueOption("serial", "SERIAL");
    line.addValueOption("port", "PATH");
}

namespace {

QString listed(const QList<Converter> &converters)
{
    QString text;
    for (const Converter &c : converters)
        text += "\n  " + c.text();
    return text;
}

} // namespace

std::optional<int> applyUnitOptions(const QString &command, const CommandLine &line,
    USBMIREL &device, Console &console, bool changes)
{
    const bool bySerial = line.isSet("serial");
    const bool byPort = line.isSet("port");
    // The unit's nine characters; its bootloader's form is taken too.
    static const QRegularExpression serialForm("^[0-9A-Za-z]{9}b?$");
    static const QRegularExpression portForm("^[0-9]+-[0-9]+(\\.[0-9]+)*$");
    const QString serial = line.value("serial");
    const QString port = line.value("port");
    if (bySerial && !serialForm.match(serial).hasMatch())
        return line.usageError(console, "SERIAL must be the converter's nine-character serial");
    if (byPort && !portForm.match(port).hasMatch())
        return line.usageError(console, "PATH must be a USB port path such as 1-1.2 (see list)");
    if (!bySerial && !byPort) {
        if (!changes)
            return std::nullopt;
        // Counted without opening any, so that a run that refuses its file
        // has not touched a converter; only a refusal has them looked at.
        const QList<UsbDevice::Presence> present = USBMIREL().survey(false);
        if (present.size() > 1) {
            const QList<Converter> all = findConverters(false);
            fail(command,
                QString("%1 converters present; choose one with --serial SERIAL or --port PATH:%2")
                    .arg(all.size())
                    .arg(listed(all)),
                console);
            return int(ExitFailed);
        }
        // The only one, where it is plugged in (the run ties its serial).
        if (present.size() == 1)
            device.setPort(present.first().port);
        return std::nullopt;
    }

    const QList<Converter> all = findConverters(false);
    QList<Converter> matches;
    bool unreadable = false;
    for (const Converter &c : all) {
        unreadable |= c.serial.isEmpty();
        if (bySerial && !discovery::sameUnit(c.usbSerial.toLatin1(), serial.toLatin1()))
            continue;
        if (byPort && c.port != port)
            continue;
        matches << c;
    }
    if (matches.size() > 1) {
        // One bootloader image flashed twice: only the port tells them apart.
        fail(command,
            QString("serial %1 is reported by %2 converters; choose one with --port PATH:%3")
                .arg(serial)
                .arg(matches.size())
                .arg(listed(matches)),
            console);
        return int(ExitFailed);
    }
    if (matches.isEmpty()) {
        // A unit whose serial could not be read may be the one; the
        // connect then tells what is wrong with it.
        if (bySerial && !byPort && unreadable) {
            device.setSerial(serial.toLatin1());
            return std::nullopt;
        }
        QStringList wanted;
        if (bySerial)
            wanted << "with serial " + serial;
        if (byPort)
            wanted << "at port " + port;
        fail(command,
            QString("no converter %1; %2")
                .arg(wanted.join(' '),
                    all.isEmpty() ? QString("no converter found (USB 16c0:078b)")
                                  : "present:" + listed(all)),
            console);
        return int(ExitFailed);
    }
    const Converter &c = matches.first();
    device.setSerial(c.usbSerial.isEmpty() ? serial.toLatin1() : c.usbSerial.toLatin1());
    device.setPort(c.port);
    return std::nullopt;
}

} // namespace kelto::cli
