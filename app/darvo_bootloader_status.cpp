// Placeholder: the status word commands are not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonStatusGet(bool) {}
void Darvo_bootloader::slotpushButtonStatusSet(bool) {}
void Darvo_bootloader::slotpushButtonStatusClr(bool) {}
