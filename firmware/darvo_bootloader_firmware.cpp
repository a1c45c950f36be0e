// Placeholder: the image file commands are not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonCreateUpg(bool) {}
void Darvo_bootloader::slotpushButtonCreateBootBin(bool) {}
