#ifndef KELTO_TOOLS_ICONS_H
#define KELTO_TOOLS_ICONS_H

#include <QImage>

namespace kelto::draw {

class ImageWriter;

// The maker's logos: the bitmap the information dialog shows and four
// 32 x 32 marks.
void drawLogos(ImageWriter &out);

// The carried tool and status icons, the line samples and the USB mark.
void drawIcons(ImageWriter &out);

// The 32 x 32 program icon (also the source of the Windows icon file).
QImage programIcon();

} // namespace kelto::draw

#endif
