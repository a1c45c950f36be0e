#include "hexinput.h"

namespace kelto {

QString hexDefault(uint32_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

uint32_t parseHex(const QString &text, bool *ok)
{
    // toUInt yields 0 on failure, which is what the commands remember then.
    return text.toUInt(ok, 16);
}

} // namespace kelto
