#ifndef KELTO_TOOLS_ICOFILE_H
#define KELTO_TOOLS_ICOFILE_H

#include <QByteArray>
#include <QImage>

namespace kelto::draw {

// A Windows icon file holding one 32-bit image (BGRA rows bottom-up, an
// all-zero AND mask), the form every resource compiler accepts. The image
// must be at most 255 x 255.
QByteArray icoFile(const QImage &image);

} // namespace kelto::draw

#endif
