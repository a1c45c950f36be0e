#ifndef KELTO_USB_DUMPBUFFER_H
#define KELTO_USB_DUMPBUFFER_H

#include <QByteArray>

// Hex and character dump for the log views: a header line with the buffer's
// address, then rows of 16 bytes. ASCII only; no final line break.
QByteArray dumpBuffer(const unsigned char *buffer, int length);

#endif
