#ifndef KELTO_EMULATOR_SETUP_H
#define KELTO_EMULATOR_SETUP_H

// The emulated converters as the programs that host them (the preloaded
// library, the test bed runner) set them up: from KELTO_EMU_* and from
// converter descriptions. See README.md for both.

#include <string>

namespace kelto::emu {

// Resets the emulator onto the real clock with the timing, the converters
// and the trace that KELTO_EMU_* ask for. Returns false, with the reason in
// `error`, when a variable holds something it cannot use.
bool setUpFromEnvironment(std::string &error);
// Adds one converter described as "key=value,key=value" (serial, mode, bus,
// image, access, busy, gone-after-reset, fault, pull). Returns its id, or -1
// with the reason in `error`.
int addConverter(const std::string &description, std::string &error);
// Loads an upgrade file, a raw flash image or a raw application area into
// a converter's memories.
bool loadImage(const std::string &path, int device, std::string &error);

} // namespace kelto::emu

#endif
