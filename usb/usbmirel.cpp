#include "usbmirel.h"

#include "imagecodec.h"
#include "streamline.h"

#include <QDebug>
#include <QString>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr uint8_t requestReadMemory = 1;
constexpr uint8_t requestWritePage = 3;
constexpr uint8_t requestRunApplication = 4;
constexpr uint8_t requestReadExternal = 5;
constexpr uint8_t requestWriteExternal = 6;
constexpr uint8_t requestStatusSet = 7;
constexpr uint8_t requestStatusClr = 8;
constexpr uint8_t requestStatusGet = 9;
constexpr uint8_t requestVrb = 10;
constexpr uint8_t requestVrBalasts = 11;

// The chunk sizes are the device's transfer buffers; both ends rely on them.
constexpr uint32_t memoryChunk = 2048;
constexpr uint32_t externalReadChunk = 512;
constexpr uint32_t externalWriteChunk = 256;
constexpr int pageSize = 2048;
constexpr int vrbSize = 864;
constexpr uint32_t ballastRecordSize = 28;
// Failed external flash transfers absorbed per call, over all its chunks.
constexpr int externalRetryBudget = 100;
// Each timeout costs the full transfer timeout: past this many in one call
// the device is not going to answer, and retrying would only keep the
// operator waiting for minutes.
constexpr int externalTimeoutBudget = 2;

const char *reason(UsbDevice::LinkError e)
{
    switch (e) {
    case UsbDevice::LinkError::Timeout:
        return "timeout";
    case UsbDevice::LinkError::Gone:
        return "device gone";
    default:
        return "refused";
    }
}

uint16_t low(uint32_t address)
{
    return uint16_t(address & 0xFFFF);
}

uint16_t high(uint32_t address)
{
    return uint16_t(address >> 16);
}

void store32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

} // namespace

USBMIREL::USBMIREL()
{
    vendorId = 0x16C0;
    productId = 0x078B;
    expectedZvid = 0x00FF;
    expectedBrandId = 0x0000;
    kelto::StreamLine() << "USBMIREL constructor";
}

int USBMIREL::ReadBootloaderVersion(QString &text)
{
    constexpr int blockSize = 32;
    constexpr int textOffset = 16;
    unsigned char block[blockSize] = {};
    if (ReadMemory(block, bootloaderVersionAddress, blockSize) != 0)
        return -1;
    const char *version = reinterpret_cast<const char *>(block + textOffset);
    text = QString::fromLatin1(version, int(strnlen(version, blockSize - textOffset)));
    return 0;
}

int USBMIREL::ReadMemory(unsigned char *buffer, uint32_t address, uint32_t length)
{
    while (length != 0) {
        const uint32_t chunk = std::min(length, memoryChunk);
        if (control_receive(requestReadMemory, low(address), high(address), buffer, int(chunk))
            != int(chunk))
            return -1;
        // The key restarts at every transfer: decode this chunk on its own.
        decodeImage(buffer, chunk);
        address += chunk;
        buffer += chunk;
        length -= chunk;
    }
    return 0;
}

int USBMIREL::WritePage(unsigned char *buffer, uint32_t address)
{
    encodeImage(buffer, pageSize);
    return control_send(requestWritePage, low(address), high(address), buffer, pageSize) == pageSize
        ? 0
        : -1;
}

int USBMIREL::RunApplication()
{
    kelto::StreamLine() << "USBMIREL::RunApplication(void)";
    return control_send(requestRunApplication, 0, 0, nullptr, 0) == 0 ? 0 : -1;
}

int USBMIREL::transferExternal(bool write, unsigned char *buffer, uint32_t address, uint32_t length)
{
    const uint32_t chunkSize = write ? externalWriteChunk : externalReadChunk;
    const uint32_t total = length;
    uint32_t remaining = length;
    int budget = externalRetryBudget;
    int timeouts = externalTimeoutBudget;
    while (remaining != 0) {
        const std::atomic<bool> *stop = stopFlag;
        if (stop && *stop)
            return -1;
        const uint32_t chunk = std::min(remaining, chunkSize);
        const int count = write
            ? control_send(requestWriteExternal, low(address), high(address), buffer, int(chunk))
            : control_receive(requestReadExternal, low(address), high(address), buffer, int(chunk));
        if (count != int(chunk)) {
            // A short transfer leaves the link up and reports no error.
            const LinkError why = count < 0 ? lastLinkError() : LinkError::Refused;
            // A device that has left the bus (or is not there at the
            // reconnect) will not take the data on any retry.
            const bool hopeless = why == LinkError::Gone
                || (why == LinkError::Timeout && timeouts-- == 0) || budget == 0;
            qDebug("External flash %s at 0x%x failed (%s): %s", write ? "write" : "read",
                unsigned(address), reason(why),
                hopeless ? "giving up" : qPrintable(QString("retry, %1 left").arg(budget - 1)));
            if (hopeless)
                return -1;
            // A failure that closed the device reconnects on the retry.
            --budget;
            continue;
        }
        buffer += chunk;
        remaining -= chunk;
        address += chunk;
        const int percent = int((total - remaining) * 100u / total);
        if (write)
            emit sendPercentExtFlashWrite(percent);
        else
            emit sendPercentExtFlashRead(percent);
    }
    return 0;
}

int USBMIREL::ReadExternalFlash(unsigned char *buffer, uint32_t address, uint32_t length)
{
    return transferExternal(false, buffer, address, length);
}

int USBMIREL::WriteExternalFlash(unsigned char *buffer, uint32_t address, uint32_t length)
{
    return transferExternal(true, buffer, address, length);
}

int USBMIREL::StatusGet(uint32_t &status)
{
    unsigned char word[4] = {};
    if (control_receive(requestStatusGet, 0, 0, word, 4) != 4)
        return -1;
    status = uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16
        | uint32_t(word[3]) << 24;
    return 0;
}

int USBMIREL::StatusSet(uint32_t mask)
{
    unsigned char word[4];
    store32(word, mask);
    return control_send(requestStatusSet, 0, 0, word, 4) == 4 ? 0 : -1;
}

int USBMIREL::StatusClr(uint32_t mask)
{
    unsigned char word[4];
    store32(word, mask);
    return control_send(requestStatusClr, 0, 0, word, 4) == 4 ? 0 : -1;
}

int USBMIREL::GetVrb(unsigned char *buffer)
{
    return control_receive(requestVrb, 0, 0, buffer, vrbSize) == vrbSize ? 0 : -1;
}

int USBMIREL::GetVrBalasts(unsigned char *buffer, uint32_t n)
{
    // A count whose byte length does not fit the transfer is refused before
    // anything is sent (it could never be received in one transfer).
    if (n > uint32_t(INT_MAX) / ballastRecordSize)
        return -1;
    const int length = int(n * ballastRecordSize);
    return control_receive(requestVrBalasts, 0, 0, buffer, length) == length ? 0 : -1;
}
