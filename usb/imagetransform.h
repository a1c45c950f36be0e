#ifndef KELTO_USB_IMAGETRANSFORM_H
#define KELTO_USB_IMAGETRANSFORM_H

#include <cstdint>

// The pure word transform behind encodeImage / decodeImage, free of Qt so
// that the emulated converter encodes its replies with the very same key
// table as the host.
namespace kelto {

void encodeWords(unsigned char *buffer, uint32_t length);
void decodeWords(unsigned char *buffer, uint32_t length);

} // namespace kelto

#endif
