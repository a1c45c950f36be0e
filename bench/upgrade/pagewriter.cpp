// kelto-bench-pagewriter SERIAL PAGES: programs PAGES application pages of
// the converter with that serial (in its bootloader) through the system's
// libusb-0.1, as a flashing station's process per unit would. Run under
// kelto-testbed by bench_upgrade to show converters programming in parallel.
// The converter is found by its sysfs entry, so that no process touches
// another's converter.
#include <usb.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The bus and device number of the converter with `serial`, from sysfs.
bool locate(const std::string &serial, std::string &bus, std::string &device)
{
    const std::string root = "/sys/bus/usb/devices/";
    DIR *dir = opendir(root.c_str());
    for (struct dirent *e = dir ? readdir(dir) : nullptr; e; e = readdir(dir)) {
        std::string s, b, d;
        std::ifstream(root + e->d_name + "/serial") >> s;
        std::ifstream(root + e->d_name + "/busnum") >> b;
        std::ifstream(root + e->d_name + "/devnum") >> d;
        if (s == serial && !b.empty() && !d.empty()) {
            char name[8];
            std::snprintf(name, sizeof name, "%03d", std::atoi(b.c_str()));
            bus = name;
            std::snprintf(name, sizeof name, "%03d", std::atoi(d.c_str()));
            device = name;
            closedir(dir);
            return true;
        }
    }
    if (dir)
        closedir(dir);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    std::string busName, deviceName;
    if (!locate(std::string(argv[1]) + "b", busName, deviceName))
        return 1;
    const int pages = std::atoi(argv[2]);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next) {
            if (busName != bus->dirname || deviceName != dev->filename)
                continue;
            usb_dev_handle *h = usb_open(dev);
            if (!h)
                return 1;
            if (usb_set_configuration(h, 1) < 0 || usb_claim_interface(h, 0) < 0)
                return 1;
            std::vector<char> page(2048, 0x5A);
            for (int p = 0; p < pages; ++p) {
                const unsigned address = 0x08004000u + 2048u * unsigned(p);
                if (usb_control_msg(h, 0x40, 3, int(address & 0xFFFF), int(address >> 16),
                        page.data(), 2048, 2000)
                    != 2048)
                    return 1;
            }
            usb_release_interface(h, 0);
            usb_close(h);
            return 0;
        }
    return 1;
}
