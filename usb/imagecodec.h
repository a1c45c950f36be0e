#ifndef KELTO_USB_IMAGECODEC_H
#define KELTO_USB_IMAGECODEC_H

#include <cstdint>

// Key of the image encoding shared with the device's bootloader and with
// every upgrade file; changing a word makes existing files unreadable.
extern const uint32_t imageKey[32];

// In-place transforms over floor(length / 4) little-endian words; the key
// position restarts at the buffer's first byte, 1 to 3 trailing bytes are
// left untouched. Both always return 0.
int encodeImage(unsigned char *buffer, uint32_t length);
int decodeImage(unsigned char *buffer, uint32_t length);

#endif
