// Set-up of the preloaded emulator (libkelto-emulator.so) from its own
// environment variables, before the program's main() runs. The program
// itself reads no environment; only this library does.
#include "setup.h"

#include <cstdio>
#include <string>

namespace {

__attribute__((constructor)) void configureFromEnvironment()
{
    std::string error;
    if (!kelto::emu::setUpFromEnvironment(error) || !error.empty())
        std::fprintf(stderr, "kelto-emulator: %s\n", error.c_str());
}

} // namespace
