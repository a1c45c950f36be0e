#include "device.h"

#include "imagetransform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelto::emu::detail {

namespace {

constexpr int errFault = -14; // -EFAULT: data stage without a buffer
constexpr uint32_t appSize = applicationEnd - applicationBase;

void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint32_t get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A small deterministic generator, so that default images are the same in
// every run.
uint32_t mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// The flash of a new device: a plausible bootloader (code bytes; its facts
// are written per device) and a valid application. Built once: tests and
// the fuzzer make a fresh device for every case.
const std::vector<uint8_t> &factoryFlash()
{
    static const std::vector<uint8_t> image = [] {
        std::vector<uint8_t> f(flashSize, 0xFF);
        for (uint32_t i = 0; i < 0x3000; i += 4)
            put32(&f[i], mix(i ^ 0xB007u));
        uint8_t *area = &f[applicationBase - flashBase];
        for (uint32_t i = 0; i < appSize; i += 4)
            put32(area + i, mix(i ^ 0xA9911u));
        put16(area + (0x0803FFD0u - applicationBase), 0x0000);
        put32(area + (applicationChecksumAddress - applicationBase), applicationChecksum(area));
        return f;
    }();
    return image;
}

} // namespace

Device::Device(int deviceId, const DeviceConfig &config)
    : id(deviceId)
    , cfg(config)
    , mode(config.mode)
    , flash(factoryFlash())
    , ext(config.externalFlashSize, 0xFF)
{
    writeBootloaderFacts();
    vrb.assign(vrbSize, 0);
    records.assign(ballastRecordSize * ballastCount, 0);
    node = std::make_unique<struct usb_device>();
    node->dev = this;
    updateDescriptor();
}

void Device::updateDescriptor()
{
    // The list entry shows the bytes the device gives, as the real library
    // parses them from the node.
    int error = 0;
    const std::vector<uint8_t> b = descriptor(USB_DT_DEVICE, 0, error);
    usb_device_descriptor &d = node->descriptor;
    d.bLength = b[0];
    d.bDescriptorType = b[1];
    d.bcdUSB = uint16_t(b[2] | b[3] << 8);
    d.bDeviceClass = b[4];
    d.bDeviceSubClass = b[5];
    d.bDeviceProtocol = b[6];
    d.bMaxPacketSize0 = b[7];
    d.idVendor = uint16_t(b[8] | b[9] << 8);
    d.idProduct = uint16_t(b[10] | b[11] << 8);
    d.bcdDevice = uint16_t(b[12] | b[13] << 8);
    d.iManufacturer = b[14];
    d.iProduct = b[15];
    d.iSerialNumber = b[16];
    d.bNumConfigurations = b[17];
}

void Device::writeBootloaderFacts()
{
    put16(&flash[bootloaderBrandAddress - flashBase], 0x0000);
    uint8_t *version = &flash[bootloaderVersionAddress - flashBase];
    std::memset(version, 0, 16);
    std::memcpy(
        version, cfg.bootloaderVersion.data(), std::min<size_t>(15, cfg.bootloaderVersion.size()));
    uint8_t *serial = &flash[bootloaderSerialAddress - flashBase];
    std::memset(serial, 0, 16);
    std::memcpy(serial, cfg.serial.data(), std::min<size_t>(16, cfg.serial.size()));
}

void Device::installValidApplication()
{
    const std::vector<uint8_t> &factory = factoryFlash();
    const size_t from = applicationBase - flashBase;
    std::copy(factory.begin() + long(from), factory.begin() + long(from + appSize),
        flash.begin() + long(from));
}

bool Device::applicationValid() const
{
    const uint8_t *area = &flash[applicationBase - flashBase];
    return get32(area + (applicationChecksumAddress - applicationBase))
        == applicationChecksum(area);
}

std::string Device::reportedSerial() const
{
    return mode == Mode::Bootloader ? cfg.serial + "b" : cfg.serial;
}

void Device::leave(uint64_t atUs, Mode inMode)
{
    present = false;
    ++generation;
    claimedBy = nullptr;
    returnAtUs = atUs;
    returnMode = inMode;
}

bool Device::refresh(uint64_t nowUs)
{
    if (!present && returnAtUs != never && nowUs >= returnAtUs) {
        present = true;
        returnAtUs = never;
        mode = returnMode;
        return true;
    }
    return false;
}

Mode Device::powerOnMode() const
{
    return applicationValid() ? Mode::Application : Mode::Bootloader;
}

void Device::interruptedWrite(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
    const uint8_t *data, int length)
{
    const uint64_t address = uint64_t(value) | uint64_t(index) << 16;
    if (requestType != 0x40 || !data || length <= 0)
        return;
    if (request == 3 && mode == Mode::Bootloader && length == int(pageSize)
        && address >= applicationBase && address + pageSize <= applicationEnd
        && (address - applicationBase) % pageSize == 0) {
        // Erased, then programmed up to where the power failed.
        std::vector<uint8_t> plain(data, data + pageSize);
        kelto::decodeWords(plain.data(), pageSize);
        uint8_t *page = &flash[address - flashBase];
        std::memset(page, 0xFF, pageSize);
        std::memcpy(page, plain.data(), pageSize / 2);
    } else if (request == 6 && length <= 256 && address + size_t(length) <= ext.size()) {
        std::memcpy(&ext[address], data, size_t(length) / 2);
    }
}

std::vector<uint8_t> Device::descriptor(uint8_t type, uint8_t index, int &error) const
{
    error = 0;
    if (type == USB_DT_STRING && index == 3) {
        if (cfg.serialDescriptorError) {
            error = cfg.serialDescriptorError;
            return {};
        }
        if (!cfg.serialDescriptor.empty())
            return cfg.serialDescriptor;
        const std::string s = reportedSerial();
        std::vector<uint8_t> d(2 + 2 * s.size(), 0);
        d[0] = uint8_t(std::min<size_t>(255, d.size()));
        d[1] = USB_DT_STRING;
        for (size_t i = 0; i < s.size(); ++i)
            d[2 + 2 * i] = uint8_t(s[i]);
        return d;
    }
    if (type == USB_DT_STRING && index == 0)
        return {4, USB_DT_STRING, 0x09, 0x04};
    if (type == USB_DT_DEVICE && index == 0) {
        std::vector<uint8_t> d(USB_DT_DEVICE_SIZE, 0);
        d[0] = USB_DT_DEVICE_SIZE;
        d[1] = USB_DT_DEVICE;
        put16(&d[2], 0x0110);
        d[7] = 64;
        put16(&d[8], cfg.vendorId);
        put16(&d[10], cfg.productId);
        d[16] = 3;
        d[17] = 1;
        return d;
    }
    if (type == USB_DT_CONFIG && index == 0) {
        // One configuration with one vendor-class interface and no
        // endpoints besides the control pipe; bus-powered, 100 mA.
        return {9, USB_DT_CONFIG, 18, 0, 1, 1, 0, 0x80, 50, //
            9, USB_DT_INTERFACE, 0, 0, 0, 0xFF, 0, 0, 0};
    }
    error = errStall;
    return {};
}

void Device::generateBallastData(uint64_t nowUs, uint8_t *v, uint8_t *r) const
{
    // Twelve ballasts on the line, one of them withdrawn; levels creep once
    // a second so that a refreshing view visibly changes.
    const uint32_t t = uint32_t(nowUs / 1000000u);
    constexpr int online = 12;
    std::memset(v, 0, vrbSize);
    const uint64_t initialised = (uint64_t(1) << online) - 1;
    const uint64_t withdraw = uint64_t(1) << 3;
    for (int i = 0; i < 8; ++i) {
        v[i] = uint8_t(initialised >> (8 * i));
        v[8 + i] = uint8_t(withdraw >> (8 * i));
    }
    for (int n = 0; n < online; ++n) {
        v[24 + n] = uint8_t(n * 16); // dtr
        v[88 + n] = uint8_t((n * 20 + t) % 254); // level
        v[156 + n] = n == 3 ? 0x40 : 0x04; // status
        v[220 + n] = 0x10; // start_lvl
        v[284 + n] = 0xFE; // end_lvl
        put32(v + 348 + 4 * n, uint32_t(1000 * n)); // start_time
        put32(v + 604 + 4 * n, uint32_t(60000 + 1000 * n + t)); // end_time
    }
    std::memset(r, 0, ballastRecordSize * ballastCount);
    for (int n = 0; n < int(ballastCount); ++n) {
        uint8_t *rec = r + ballastRecordSize * n;
        if (n < online) {
            const uint32_t random = mix(uint32_t(n) + 0x5EEDu + uint32_t(id) * 97u) & 0xFFFFFFu;
            rec[2] = uint8_t(random);
            rec[3] = uint8_t(random >> 8);
            rec[4] = uint8_t(random >> 16);
            rec[5] = uint8_t(n);
        } else {
            rec[2] = rec[3] = rec[4] = 0xFF;
            rec[5] = 0xFF;
        }
    }
}

int Device::vendorRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
    uint8_t *data, int length, uint64_t nowUs, Effects &effects)
{
    const uint64_t address = uint64_t(value) | uint64_t(index) << 16;
    if (length < 0)
        return errStall;
    if (length > 0 && !data)
        return errFault;
    const auto n = size_t(length);

    if (requestType == 0xC0) {
        switch (request) {
        case 255:
        case 254: {
            if (length == 0)
                return errStall;
            uint8_t id2[2];
            put16(id2, request == 255 ? cfg.zvid : cfg.brandId);
            const int count = std::min(length, 2);
            std::memcpy(data, id2, size_t(count));
            return count;
        }
        case 1:
            if (length == 0 || length > int(pageSize) || address < flashBase
                || address + n > uint64_t(flashBase) + flashSize)
                return errStall;
            std::memcpy(data, &flash[address - flashBase], n);
            // The key restarts at every transfer, as in the bootloader.
            kelto::encodeWords(data, uint32_t(n));
            return length;
        case 5:
            if (length == 0 || length > 512 || address + n > ext.size())
                return errStall;
            std::memcpy(data, &ext[address], n);
            return length;
        case 9: {
            if (length == 0)
                return errStall;
            uint8_t w[4];
            put32(w, status);
            const int count = std::min(length, 4);
            std::memcpy(data, w, size_t(count));
            return count;
        }
        case 10:
        case 11: {
            if (mode != Mode::Application || length == 0)
                return errStall;
            std::vector<uint8_t> v(vrbSize), r(ballastRecordSize * ballastCount);
            if (fixedBallastData) {
                v = vrb;
                r = records;
            } else {
                generateBallastData(nowUs, v.data(), r.data());
            }
            const std::vector<uint8_t> &src = request == 10 ? v : r;
            const size_t count = std::min(n, src.size());
            std::memcpy(data, src.data(), count);
            return int(count);
        }
        default:
            return errStall;
        }
    }
    if (requestType == 0x40) {
        switch (request) {
        case 2:
            return length <= 512 ? length : errStall;
        case 3: {
            if (mode != Mode::Bootloader || length != int(pageSize) || address < applicationBase
                || address + pageSize > applicationEnd || (address - applicationBase) % pageSize)
                return errStall;
            uint8_t *page = &flash[address - flashBase];
            std::memcpy(page, data, pageSize);
            kelto::decodeWords(page, pageSize);
            return length;
        }
        case 4:
            if (length != 0)
                return errStall;
            effects.leaveBus = true;
            return 0;
        case 6:
            if (length == 0 || length > 256 || address + n > ext.size())
                return errStall;
            std::memcpy(&ext[address], data, n);
            return length;
        case 7:
        case 8: {
            if (length != 4)
                return errStall;
            const uint32_t mask = get32(data);
            status = request == 7 ? (status | mask) : (status & ~mask);
            return 4;
        }
        default:
            return errStall;
        }
    }
    return errStall;
}

} // namespace kelto::emu::detail
