// Placeholder until the upgrade procedure lands: a run does nothing.
#include "upgrader.h"

Upgrader::Upgrader(USBMIREL *usb) : usb(usb) {}
Upgrader::~Upgrader() = default;
void Upgrader::slotSetFileName(QString name) { fileName = name; }
void Upgrader::run() {}
