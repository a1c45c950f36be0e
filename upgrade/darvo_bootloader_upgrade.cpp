// Placeholder: the firmware change command is not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonCHF(bool) {}
void Darvo_bootloader::slotTimeout() {}
