// kelto-testbed: runs a program against emulated converters at the kernel's
// USB interface. The program is started unchanged with the system's
// libusb-0.1; umockdev's preloaded library puts the bed's /dev/bus/usb and
// /sys in place of the machine's. See README.md.
#include "emulator.h"
#include "setup.h"
#include "usbfs.h"

#include <glib-unix.h>
#include <glib.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace emu = kelto::emu;

namespace {

const char usage[]
    = "Usage: kelto-testbed [--converter DESCRIPTION]... [--timing zero|realistic]\n"
      "                     [--dump DIR] [--preload LIBRARY] -- PROGRAM [ARGUMENT]...\n";

struct Run
{
    GMainLoop *loop = nullptr;
    GPid child = 0;
    int status = 0;
    bool exited = false;
};

void childExited(GPid, gint status, gpointer data)
{
    auto *run = static_cast<Run *>(data);
    run->status = status;
    run->exited = true;
    g_main_loop_quit(run->loop);
}

gboolean forwardSignal(gpointer data)
{
    auto *run = static_cast<std::pair<Run *, int> *>(data);
    if (!run->first->exited)
        kill(run->first->child, run->second);
    return G_SOURCE_CONTINUE;
}

// Root passes over file modes; the converters whose node is not ours to
// open must be refused to the program all the same.
void dropFileCapabilities(gpointer)
{
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

bool dump(const std::string &dir, std::string &error)
{
    g_mkdir_with_parents(dir.c_str(), 0755);
    std::vector<std::string> seen;
    for (size_t id = 0; id < emu::deviceCount(); ++id) {
        // Two converters with one serial (one bootloader image flashed
        // twice): the second is SERIAL.2, and so on.
        std::string serial = emu::config(int(id)).serial;
        seen.push_back(serial);
        if (const auto n = std::count(seen.begin(), seen.end(), serial); n > 1)
            serial += "." + std::to_string(n);
        const std::vector<uint8_t> f = emu::flash(int(id));
        const std::vector<uint8_t> e = emu::externalFlash(int(id));
        std::ofstream(dir + "/" + serial + ".flash", std::ios::binary)
            .write(reinterpret_cast<const char *>(f.data()), std::streamsize(f.size()));
        std::ofstream out(dir + "/" + serial + ".ext", std::ios::binary);
        out.write(reinterpret_cast<const char *>(e.data()), std::streamsize(e.size()));
        if (!out) {
            error = "cannot write the memories of " + serial + " to " + dir;
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> converters;
    std::string timing, dumpDir, preload;
    int at = 1;
    for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
        const std::string option = argv[at];
        const bool hasValue = at + 1 < argc && std::strcmp(argv[at + 1], "--") != 0;
        if (option == "--converter" && hasValue) {
            converters.push_back(argv[++at]);
        } else if (option == "--timing" && hasValue) {
            timing = argv[++at];
        } else if (option == "--dump" && hasValue) {
            dumpDir = argv[++at];
        } else if (option == "--preload" && hasValue) {
            preload += (preload.empty() ? "" : ":") + std::string(argv[++at]);
        } else {
            std::fputs(usage, stderr);
            return 2;
        }
    }
    if (at + 1 >= argc || (timing != "" && timing != "zero" && timing != "realistic")) {
        std::fputs(usage, stderr);
        return 2;
    }

    std::string error;
    if (!emu::setUpFromEnvironment(error)) {
        std::fprintf(stderr, "kelto-testbed: %s\n", error.c_str());
        return 2;
    }
    if (!error.empty())
        std::fprintf(stderr, "kelto-testbed: %s\n", error.c_str());
    if (!timing.empty())
        emu::setTiming(timing == "zero" ? emu::Timing::zero() : emu::Timing::realistic());
    bool restricted = false;
    if (!converters.empty()) {
        emu::removeAllDevices();
        for (const std::string &c : converters) {
            error.clear();
            const int id = emu::addConverter(c, error);
            if (id < 0) {
                std::fprintf(stderr, "kelto-testbed: %s\n", error.c_str());
                return 2;
            }
            restricted |= emu::config(id).noAccess || emu::config(id).permissionDenied;
        }
    }

    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    int status = 0;
    {
        emu::UsbfsBed bed;
        gchar **envp = g_get_environ();
        for (const auto &v : bed.environment(preload))
            envp = g_environ_setenv(envp, v.first.c_str(), v.second.c_str(), TRUE);
        GError *spawnError = nullptr;
        const gboolean started = g_spawn_async(nullptr, argv + at + 1, envp,
            GSpawnFlags(
                G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN),
            restricted ? dropFileCapabilities : nullptr, nullptr, &run.child, &spawnError);
        g_strfreev(envp);
        if (!started) {
            std::fprintf(
                stderr, "kelto-testbed: cannot start %s: %s\n", argv[at + 1], spawnError->message);
            g_clear_error(&spawnError);
            g_main_loop_unref(run.loop);
            return 127;
        }
        g_child_watch_add(run.child, childExited, &run);
        std::pair<Run *, int> term {&run, SIGTERM}, intr {&run, SIGINT};
        g_unix_signal_add(SIGTERM, forwardSignal, &term);
        g_unix_signal_add(SIGINT, forwardSignal, &intr);
        g_main_loop_run(run.loop);
        g_spawn_close_pid(run.child);
        status = WIFEXITED(run.status) ? WEXITSTATUS(run.status)
            : WIFSIGNALED(run.status)  ? 128 + WTERMSIG(run.status)
                                       : 1;
    }
    g_main_loop_unref(run.loop);
    if (!dumpDir.empty() && !dump(dumpDir, error)) {
        std::fprintf(stderr, "kelto-testbed: %s\n", error.c_str());
        return status ? status : 1;
    }
    return status;
}
