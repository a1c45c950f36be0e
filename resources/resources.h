#ifndef KELTO_RESOURCES_RESOURCES_H
#define KELTO_RESOURCES_RESOURCES_H

namespace kelto {

// Registers the compiled-in image collection (/res/images). The collection
// already registers itself before main and is unregistered at exit; calling
// this again, as every style object does, changes nothing, and after an
// explicit unregistration it brings the images back.
void registerResources();

} // namespace kelto

#endif
