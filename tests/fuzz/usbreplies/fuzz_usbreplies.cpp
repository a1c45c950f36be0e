// The host's handling of whatever a device replies. The input scripts the
// replies of a hostile emulated converter (result codes, counts larger or
// smaller than asked, odd descriptors); the host runs its usual sequence of
// operations against it and must neither read nor write out of bounds nor
// report anything but 0 / -1.
#include "dumpbuffer.h"
#include "emulator.h"
#include "usbmirel.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu = kelto::emu;

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

// Each reply: a signed 16-bit result, a 16-bit data length (at most 4096)
// and that many data bytes, little-endian. A truncated tail is dropped.
std::vector<emu::ScriptedReply> parse(const uint8_t *data, size_t size)
{
    std::vector<emu::ScriptedReply> out;
    size_t at = 0;
    while (size - at >= 4 && out.size() < 512) {
        emu::ScriptedReply r;
        r.result = int16_t(uint16_t(data[at] | data[at + 1] << 8));
        size_t n = size_t(data[at + 2] | data[at + 3] << 8) % 4097;
        at += 4;
        n = std::min(n, size - at);
        r.data.assign(data + at, data + at + n);
        at += n;
        out.push_back(std::move(r));
    }
    return out;
}

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool result(int r)
{
    return r == 0 || r == -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        qInstallMessageHandler(quiet);
        // The trace lines are not under test here; formatting them would
        // only slow the search down.
        QLoggingCategory::setFilterRules("default.debug=false");
        return true;
    }();
    (void)once;
    emu::reset();
    emu::setTransferLogging(false);
    emu::scriptReplies(parse(data, size));
    {
        USBMIREL dev;
        dev.connect();
        const QByteArray serial = dev.serialNumber();
        check(serial.size() <= 127);
        std::vector<unsigned char> block(5000, 0);
        check(result(dev.ReadMemory(block.data(), 0x08003FD0, 32)));
        check(result(dev.ReadMemory(block.data(), 0x08004000, 5000)));
        uint32_t word = 0x5A5A5A5Au;
        const int st = dev.StatusGet(word);
        check(result(st));
        check(st == 0 || word == 0x5A5A5A5Au);
        std::vector<unsigned char> vrb(864), rec(28 * 64);
        check(result(dev.GetVrb(vrb.data())));
        check(result(dev.GetVrBalasts(rec.data(), 64)));
        std::vector<unsigned char> ext(1024);
        check(result(dev.ReadExternalFlash(ext.data(), 0, 1024)));
        check(result(dev.WriteExternalFlash(ext.data(), 0x100, 512)));
        std::vector<unsigned char> page(2048, 0);
        check(result(dev.WritePage(page.data(), 0x08004000)));
        check(result(dev.StatusSet(1)));
        dev.RunApplication();
        unsigned char raw[2];
        const int n = dev.control_receive(255, 0, 0, raw, 2);
        check(n >= -1 && n <= 2);
        const QByteArray dump = dumpBuffer(rec.data(), int(rec.size()));
        check(!dump.isEmpty());
    }
    check(emu::openHandles() == 0);
    return 0;
}
