#ifndef KELTO_APP_HEXINPUT_H
#define KELTO_APP_HEXINPUT_H

#include <QString>

#include <cstdint>

namespace kelto {

// The default text of an address or data dialog: "0x" and lower-case
// hexadecimal digits without leading zeros ("0x8000000", "0x0").
QString hexDefault(uint32_t value);

// The operator's hexadecimal text (an optional "0x" prefix accepted). A text
// that is not a 32-bit hexadecimal number, the empty text included, gives 0
// and clears *ok.
uint32_t parseHex(const QString &text, bool *ok);

} // namespace kelto

#endif
