// Placeholder until the command set lands.
#include "usbmirel.h"

USBMIREL::USBMIREL() = default;
int USBMIREL::ReadMemory(unsigned char *, uint32_t, uint32_t) { return -1; }
int USBMIREL::WritePage(unsigned char *, uint32_t) { return -1; }
void USBMIREL::RunApplication() {}
int USBMIREL::ReadExternalFlash(unsigned char *, uint32_t, uint32_t) { return -1; }
int USBMIREL::WriteExternalFlash(unsigned char *, uint32_t, uint32_t) { return -1; }
int USBMIREL::StatusGet(uint32_t &) { return -1; }
int USBMIREL::StatusSet(uint32_t) { return -1; }
int USBMIREL::StatusClr(uint32_t) { return -1; }
int USBMIREL::GetVrb(unsigned char *) { return -1; }
int USBMIREL::GetVrBalasts(unsigned char *, uint32_t) { return -1; }
