#ifndef KELTO_RESOURCES_RESOURCES_H
#define KELTO_RESOURCES_RESOURCES_H

namespace kelto {

// Registers the compiled-in image collection. The collection also registers
// itself before main; calling this again (as the style does) is harmless.
void registerResources();

} // namespace kelto

#endif
