// Placeholder: the ballast view is not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonGetVrb(bool) {}
void Darvo_bootloader::slotpushButtonGetVrBalasts(bool) {}
void Darvo_bootloader::slotVrBalastRefresh() {}
void Darvo_bootloader::slotTabChanged(int) {}
