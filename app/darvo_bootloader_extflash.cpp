// Placeholder: the external flash commands are not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonWriteExtFlashBin(bool) {}
void Darvo_bootloader::slotpushButtonWriteExternalFlash(bool) {}
void Darvo_bootloader::slotpushButtonReadExternalFlash(bool) {}
void Darvo_bootloader::slotTabChange(int) {}
