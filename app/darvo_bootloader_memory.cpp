// Placeholder: the connection and memory commands are not built yet.
#include "darvo_bootloader.h"

void Darvo_bootloader::slotpushButtonConnect(bool) {}
void Darvo_bootloader::slotpushButtonDisconnect(bool) {}
void Darvo_bootloader::slotpushButtonRead(bool) {}
void Darvo_bootloader::slotpushButtonWrite(bool) {}
void Darvo_bootloader::slotpushButtonWritePage(bool) {}
void Darvo_bootloader::slotpushButtonRunApplication(bool) {}
