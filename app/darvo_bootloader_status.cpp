// Status word commands of the window: read the device's 32-bit status word,
// set or clear its bit 0. The outcome goes to the log only.
#include "darvo_bootloader.h"

#include "ui_darvo_bootloader.h"
#include "usbmirel.h"

#include <QString>

#include <cstdint>

namespace {

// The bit these commands move; its meaning is the device's business.
constexpr uint32_t statusMask = 1;

// All 32 bits, most significant first, so that every flag has its column.
QString bits(uint32_t value)
{
    return QString("%1").arg(value, 32, 2, QLatin1Char('0'));
}

} // namespace

void Darvo_bootloader::slotpushButtonStatusGet(bool)
{
    uint32_t status = 0;
    if (device->StatusGet(status) == 0)
        ui->txt->append(QString("Status: %1").arg(bits(status)));
    else
        ui->txt->append("Status: ERROR");
}

void Darvo_bootloader::slotpushButtonStatusSet(bool)
{
    // The line shows the mask sent, not the resulting word.
    if (device->StatusSet(statusMask) == 0)
        ui->txt->append(QString("StatusSet(%1)").arg(bits(statusMask)));
    else
        ui->txt->append("StatusSet() ERROR");
}

void Darvo_bootloader::slotpushButtonStatusClr(bool)
{
    if (device->StatusClr(statusMask) == 0)
        ui->txt->append(QString("StatusClr(%1)").arg(bits(statusMask)));
    else
        ui->txt->append("StatusClr() ERROR");
}
