#include "upgradeoutcome.h"

namespace kelto::upgrade {

QString Outcome::unitSerial() const
{
    if (usbSerial.size() == 10 && usbSerial.endsWith('b'))
        return usbSerial.left(9);
    return usbSerial;
}

const char *stepName(Step step)
{
    switch (step) {
    case Step::File:
        return "file";
    case Step::Connect:
        return "connect";
    case Step::Identify:
        return "identify";
    case Step::EnterBootloader:
        return "enter-bootloader";
    case Step::Compare:
        return "compare";
    case Step::Firmware:
        return "firmware";
    case Step::ExternalWrite:
        return "external-write";
    case Step::ExternalVerify:
        return "external-verify";
    case Step::StartApplication:
        return "start-application";
    }
    return "";
}

const char *stateName(ConverterState state)
{
    switch (state) {
    case ConverterState::Untouched:
        return "untouched";
    case ConverterState::AsFound:
        return "as-found";
    case ConverterState::Unknown:
        return "unknown";
    case ConverterState::Bootloader:
        return "bootloader";
    case ConverterState::NewApplication:
        return "new-application";
    }
    return "";
}

QString stateAdvice(ConverterState state)
{
    switch (state) {
    case ConverterState::Untouched:
        return "the converter was not touched";
    case ConverterState::AsFound:
        return "the converter was not changed";
    case ConverterState::Unknown:
        return "the converter's state is unknown: unplug it, plug it in again and run the "
               "upgrade again";
    case ConverterState::Bootloader:
        return "left in its bootloader: run the upgrade again";
    case ConverterState::NewApplication:
        return "the new firmware runs";
    }
    return QString();
}

} // namespace kelto::upgrade
