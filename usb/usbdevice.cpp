// Placeholder until the transport lands: nothing is ever found.
#include "usbdevice.h"

std::mutex usbMutex;

UsbDevice::UsbDevice() = default;
UsbDevice::~UsbDevice() = default;
int UsbDevice::connect() { return -1; }
void UsbDevice::disconnect() {}
int UsbDevice::control_receive(uint8_t, uint16_t, uint16_t, unsigned char *, int) { return -1; }
int UsbDevice::control_send(uint8_t, uint16_t, uint16_t, unsigned char *, int) { return -1; }
QByteArray UsbDevice::serialNumber() { return {}; }
int UsbDevice::connectPrivate() { return -1; }
void UsbDevice::disconnectPrivate() {}
int UsbDevice::control_receivePrivate(uint8_t, uint16_t, uint16_t, unsigned char *, int) { return -1; }
