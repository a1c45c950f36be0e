#include "outcomerecord.h"

namespace kelto::upgrade {

namespace {

QString hex(uint32_t value, int digits)
{
    return QString("0x%1").arg(value, digits, 16, QChar('0'));
}

} // namespace

QJsonObject outcomeRecord(const Outcome &outcome, const QString &interrupted)
{
    QJsonObject o;
    o["serial"] = outcome.unitSerial();
    o["usb_serial"] = outcome.usbSerial;
    o["bootloader_version"] = outcome.bootloaderVersion;
    o["mode"] = outcome.mode;
    o["success"] = outcome.success;
    o["step"] = stepName(outcome.step);
    o["last_line"] = outcome.lastLine;
    o["reason"] = outcome.reason;
    o["converter"] = stateName(outcome.converter);
    o["interrupted"] = interrupted.isEmpty() ? QJsonValue(false) : QJsonValue(interrupted);
    o["pages_written"] = outcome.pagesWritten;
    o["pages_verified"] = outcome.pagesVerified;
    o["pages_total"] = pageCount;
    o["pages_skipped"] = outcome.pagesSkipped;
    o["chunks_written"] = outcome.chunksWritten;
    o["chunks_skipped"] = outcome.chunksSkipped;
    if (outcome.external.found) {
        const ExternalMismatch &m = outcome.external;
        o["external_mismatch"] = QJsonObject {{"first_offset", hex(m.firstOffset, 8)},
            {"differing_bytes", m.differing}, {"written", hex(m.expected, 2)},
            {"read", hex(m.actual, 2)}};
    }
    return o;
}

} // namespace kelto::upgrade
