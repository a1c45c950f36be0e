// What a program sees of the emulated converters through libusb-0.1: the
// same scenarios through both front ends must read the same. Built twice:
// agreement_inprocess links the emulator in place of libusb and runs the
// table against both front ends (the usbfs side by starting
// agreement_usbfs, linked to the system's libusb-0.1, under kelto-testbed),
// printing every line where they differ.
#include <usb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef KELTO_AGREEMENT_INPROCESS
#include "emulator.h"
#include "setup.h"
#endif

namespace {

// One scenario: the converters on the bus and what is done with them.
struct Row
{
    const char *name;
    std::vector<std::string> converters;
    void (*run)(std::vector<std::string> &out);
};

std::string hex(const unsigned char *p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string line(const char *what, long value)
{
    return std::string(what) + " " + std::to_string(value);
}

// The converters found, in the order a program meets them; the root hubs
// as they are listed.
std::vector<struct usb_device *> scan(std::vector<std::string> &out, const char *tag)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<struct usb_device *> found;
    std::string listing = std::string(tag) + ":";
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *d = bus->devices; d; d = d->next) {
            char b[48];
            std::snprintf(b, sizeof b, "/%04x:%04x/ser%u/cfg%u", d->descriptor.idVendor,
                d->descriptor.idProduct, d->descriptor.iSerialNumber,
                d->descriptor.bNumConfigurations);
            listing += std::string(" ") + bus->dirname + "/" + d->filename + b;
            if (d->descriptor.idVendor == 0x16c0)
                found.push_back(d);
        }
    out.push_back(listing);
    return found;
}

std::string serial(usb_dev_handle *h, int size = 256)
{
    unsigned char d[256] = {};
    const int n = usb_get_descriptor(h, USB_DT_STRING, 3, d, size);
    return "serial " + std::to_string(n) + " " + hex(d, n > 0 ? n : 0);
}

int in(usb_dev_handle *h, int request, int value, int index, unsigned char *buf, int n,
    int timeout = 2000)
{
    return usb_control_msg(
        h, 0xC0, request, value, index, reinterpret_cast<char *>(buf), n, timeout);
}

usb_dev_handle *openClaimed(struct usb_device *d, std::vector<std::string> &out)
{
    usb_dev_handle *h = usb_open(d);
    out.push_back(line("open", h ? 1 : -errno));
    if (!h)
        return nullptr;
    out.push_back(line("configure", usb_set_configuration(h, 1)));
    out.push_back(line("claim", usb_claim_interface(h, 0)));
    return h;
}

// Rescans until a converter shows (the usbfs side brings nodes back from its
// main loop), at most two seconds.
std::vector<struct usb_device *> rescan(std::vector<std::string> &out, const char *tag)
{
    std::vector<std::string> ignored;
    for (int i = 0; i < 200; ++i) {
        if (!scan(ignored, tag).empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return scan(out, tag);
}

void requests(std::vector<std::string> &out)
{
    std::vector<struct usb_device *> found = scan(out, "bus");
    if (found.empty())
        return;
    usb_dev_handle *h = openClaimed(found[0], out);
    unsigned char b[4096] = {};
    out.push_back(serial(h));
    out.push_back(serial(h, 8));
    int n = usb_get_descriptor(h, USB_DT_DEVICE, 0, b, sizeof b);
    out.push_back("device " + std::to_string(n) + " " + hex(b, n > 0 ? n : 0));
    n = usb_get_descriptor(h, USB_DT_CONFIG, 0, b, sizeof b);
    out.push_back("config " + std::to_string(n) + " " + hex(b, n > 0 ? n : 0));
    n = usb_get_descriptor(h, USB_DT_STRING, 0, b, sizeof b);
    out.push_back("languages " + std::to_string(n) + " " + hex(b, n > 0 ? n : 0));
    out.push_back(line("string 7", usb_get_descriptor(h, USB_DT_STRING, 7, b, sizeof b)));
    n = in(h, 255, 0, 0, b, 2);
    out.push_back("zvid " + std::to_string(n) + " " + hex(b, 2));
    n = in(h, 254, 0, 0, b, 8);
    out.push_back("brand " + std::to_string(n) + " " + hex(b, 2));
    n = in(h, 1, 0x3FE0, 0x0800, b, 32);
    out.push_back("read " + std::to_string(n) + " " + hex(b, n > 0 ? n : 0));
    out.push_back(line("read too long", in(h, 1, 0, 0x0800, b, 4096)));
    out.push_back(line("ballasts in application", in(h, 11, 0, 0, b, 28)));
    unsigned char mask[4] = {5, 0, 0, 0};
    out.push_back(line(
        "status set", usb_control_msg(h, 0x40, 7, 0, 0, reinterpret_cast<char *>(mask), 4, 2000)));
    n = in(h, 9, 0, 0, b, 4);
    out.push_back("status " + std::to_string(n) + " " + hex(b, 4));
    out.push_back(line("unknown request", in(h, 200, 0, 0, b, 4)));
    out.push_back(line("no data stage", usb_control_msg(h, 0x40, 2, 0, 0, nullptr, 0, 2000)));
    out.push_back(line("configuration 2", usb_set_configuration(h, 2)));
    out.push_back(line("interface 1", usb_claim_interface(h, 1)));
    out.push_back(line("release", usb_release_interface(h, 0)));
    out.push_back(line("release again", usb_release_interface(h, 0)));
    out.push_back(line("close", usb_close(h)));
}

void restart(std::vector<std::string> &out)
{
    std::vector<struct usb_device *> found = scan(out, "before");
    if (found.empty())
        return;
    usb_dev_handle *h = openClaimed(found[0], out);
    const std::string before = found[0]->filename;
    out.push_back(line("restart", usb_control_msg(h, 0x40, 4, 0, 0, nullptr, 0, 2000)));
    unsigned char b[4];
    out.push_back(line("old handle", in(h, 9, 0, 0, b, 4)));
    out.push_back(line("old handle release", usb_release_interface(h, 0)));
    usb_close(h);
    found = rescan(out, "after");
    if (found.empty())
        return;
    out.push_back(line("new device number", found[0]->filename != before));
    h = openClaimed(found[0], out);
    out.push_back(serial(h));
    out.push_back(line("ballasts in bootloader", in(h, 11, 0, 0, b, 4)));
    usb_release_interface(h, 0);
    usb_close(h);
}

void faults(std::vector<std::string> &out)
{
    std::vector<struct usb_device *> found = scan(out, "bus");
    if (found.empty())
        return;
    usb_dev_handle *h = openClaimed(found[0], out);
    unsigned char b[4];
    out.push_back(line("first", in(h, 9, 0, 0, b, 4)));
    out.push_back(line("stalled", in(h, 9, 0, 0, b, 4)));
    const auto start = std::chrono::steady_clock::now();
    out.push_back(line("unanswered", in(h, 9, 0, 0, b, 4, 300)));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start)
                        .count();
    out.push_back(line("timeout honoured", ms >= 300));
    out.push_back(line("after", in(h, 9, 0, 0, b, 4)));
    out.push_back(line("pulled", in(h, 9, 0, 0, b, 4)));
    out.push_back(line("pulled again", in(h, 9, 0, 0, b, 4)));
    usb_close(h);
    scan(out, "gone");
}

void twoPrograms(std::vector<std::string> &out)
{
    // Two opens of one converter stand for two programs: the interface is
    // the first one's until it lets go.
    std::vector<struct usb_device *> found = scan(out, "bus");
    if (found.empty())
        return;
    usb_dev_handle *first = openClaimed(found[0], out);
    usb_dev_handle *second = openClaimed(found[0], out);
    out.push_back(line("claim by the other", usb_claim_interface(second, 0)));
    out.push_back(line("release by the other", usb_release_interface(second, 0)));
    out.push_back(line("first lets go", usb_release_interface(first, 0)));
    out.push_back(line("second claims", usb_claim_interface(second, 0)));
    usb_close(first);
    usb_close(second);
}

void access(std::vector<std::string> &out)
{
    for (struct usb_device *d : scan(out, "bus")) {
        usb_dev_handle *h = openClaimed(d, out);
        if (h)
            usb_close(h);
    }
}

void several(std::vector<std::string> &out)
{
    for (struct usb_device *d : scan(out, "bus")) {
        usb_dev_handle *h = usb_open(d);
        out.push_back(std::string(d->bus->dirname) + " " + serial(h));
        usb_close(h);
    }
}

void gone(std::vector<std::string> &out)
{
    std::vector<struct usb_device *> found = scan(out, "before");
    if (found.empty())
        return;
    usb_dev_handle *h = openClaimed(found[0], out);
    out.push_back(line("restart", usb_control_msg(h, 0x40, 4, 0, 0, nullptr, 0, 2000)));
    usb_close(h);
    rescan(out, "after");
}

// Sixteen converters with their own serials on two busses, some in their
// bootloaders: the order a program meets them in.
std::vector<std::string> tray()
{
    std::vector<std::string> converters;
    for (int i = 1; i <= 16; ++i) {
        char c[64];
        std::snprintf(c, sizeof c, "serial=TRAY%05d,bus=%d%s", i, i % 3 ? 1 : 2,
            i % 4 ? "" : ",mode=bootloader");
        converters.push_back(c);
    }
    return converters;
}

const std::vector<Row> rows = {
    {"requests", {"serial=AGREE0001"}, requests},
    {"restart", {"serial=AGREE0001"}, restart},
    {"faults", {"serial=AGREE0001,stall=9:2,timeout=9:2,pull=9:5"}, faults},
    {"never back", {"serial=AGREE0001,gone-after-reset"}, gone},
    {"two programs", {"serial=AGREE0001"}, twoPrograms},
    {"access",
        {"serial=AGREE0001,access=read-only", "serial=AGREE0002,access=none",
            "serial=AGREE0003,busy", "serial=AGREE0004"},
        access},
    {"several", tray(), several},
};

} // namespace

#ifndef KELTO_AGREEMENT_INPROCESS

// agreement_usbfs ROW: one scenario against the converters of the bed.
int main(int argc, char **argv)
{
    const Row *row = nullptr;
    for (const Row &r : rows)
        if (argc == 2 && std::string(argv[1]) == r.name)
            row = &r;
    if (!row)
        return 2;
    std::vector<std::string> out;
    row->run(out);
    for (const std::string &l : out)
        std::printf("%s\n", l.c_str());
    return 0;
}

#else

// agreement_inprocess BED USBFS: every scenario through both front ends.
int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    int differences = 0;
    for (const Row &row : rows) {
        std::string error;
        kelto::emu::setUpFromEnvironment(error);
        kelto::emu::setTiming(kelto::emu::Timing::zero());
        kelto::emu::removeAllDevices();
        std::string command = std::string(argv[1]) + " --timing zero";
        for (const std::string &c : row.converters) {
            kelto::emu::addConverter(c, error);
            command += " --converter " + c;
        }
        command += std::string(" -- ") + argv[2] + " '" + row.name + "'";
        std::vector<std::string> mine;
        row.run(mine);

        std::vector<std::string> theirs;
        FILE *p = popen(command.c_str(), "r");
        char buf[4096];
        while (p && std::fgets(buf, sizeof buf, p)) {
            std::string l(buf);
            if (!l.empty() && l.back() == '\n')
                l.pop_back();
            theirs.push_back(l);
        }
        const int status = p ? pclose(p) : -1;
        if (status != 0) {
            std::printf("%s: the usbfs run failed (%d)\n", row.name, status);
            ++differences;
        }
        for (size_t i = 0; i < std::max(mine.size(), theirs.size()); ++i) {
            const std::string a = i < mine.size() ? mine[i] : "(nothing)";
            const std::string b = i < theirs.size() ? theirs[i] : "(nothing)";
            if (a != b) {
                std::printf("%s, line %zu:\n  in-process: %s\n  usbfs:      %s\n", row.name, i + 1,
                    a.c_str(), b.c_str());
                ++differences;
            }
        }
        std::printf("%s: %zu lines compared\n", row.name, std::max(mine.size(), theirs.size()));
    }
    return differences ? 1 : 0;
}

#endif
