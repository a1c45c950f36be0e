#ifndef KELTO_USB_USBMIREL_H
#define KELTO_USB_USBMIREL_H

#include "usbdevice.h"

#include <QString>

#include <atomic>

#include <cstdint>

// The converter's vendor request set as typed operations. All return 0 on
// success and -1 on failure. Memory pages travel in the image encoding;
// external flash data travels plain.
class USBMIREL : public UsbDevice
{
    Q_OBJECT

public:
    USBMIREL();

    // Request 1 in chunks of 2048 bytes, each decoded on arrival.
    int ReadMemory(unsigned char *buffer, uint32_t address, uint32_t length);
    // Request 3: encodes the caller's 2048-byte buffer in place, then sends it.
    int WritePage(unsigned char *buffer, uint32_t address);
    // The bootloader's version text: request 1 of the 32-byte block at
    // bootloaderVersionAddress, whose text runs from byte 16 to its first NUL.
    // 0 with `text` set, or -1 when the read failed.
    static constexpr uint32_t bootloaderVersionAddress = 0x08003FD0;
    int ReadBootloaderVersion(QString &text);
    // Request 4: leaves the current mode (bootloader <-> application).
    // 0, or -1 when the device refused the request.
    int RunApplication();
    // Request 5 in chunks of 512; up to 100 failed transfers per call absorbed.
    int ReadExternalFlash(unsigned char *buffer, uint32_t address, uint32_t length);
    // Request 6 in chunks of 256; up to 100 failed transfers per call absorbed.
    int WriteExternalFlash(unsigned char *buffer, uint32_t address, uint32_t length);
    // Request 9; the word is stored only on success.
    int StatusGet(uint32_t &status);
    // Requests 7 and 8: set / clear the bits of mask in the status word.
    int StatusSet(uint32_t mask);
    int StatusClr(uint32_t mask);
    // Request 10: the 864-byte ballast summary block.
    int GetVrb(unsigned char *buffer);
    // Request 11: n ballast records of 28 bytes in one transfer.
    int GetVrBalasts(unsigned char *buffer, uint32_t n);

    // While set, an external flash transfer ends (-1) before its next chunk
    // once *stop is true: a long transfer can be given up between two
    // requests. Null (the default) lets every transfer run to its end.
    void setStopFlag(const std::atomic<bool> *stop) { stopFlag = stop; }

signals:
    void sendPercentExtFlashWrite(int percent);
    void sendPercentExtFlashRead(int percent);

private:
    // The shared chunk / retry / progress scheme of requests 5 and 6.
    int transferExternal(bool write, unsigned char *buffer, uint32_t address, uint32_t length);

    std::atomic<const std::atomic<bool> *> stopFlag {nullptr};
};

#endif
