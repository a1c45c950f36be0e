#ifndef KELTO_USB_DUMPBUFFER_H
#define KELTO_USB_DUMPBUFFER_H

#include <QByteArray>

#include <cstdint>

// Hex and character dump for the log views: a header line with the buffer's
// address, then rows of 16 bytes. ASCII only; no final line break.
QByteArray dumpBuffer(const unsigned char *buffer, int length);
// The same rows for bytes read from the converter, each labelled with its
// converter address instead of its offset in the host's buffer.
QByteArray dumpMemory(const unsigned char *buffer, int length, uint32_t address);

#endif
