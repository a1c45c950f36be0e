#ifndef KELTO_TOOLS_STYLEPIECES_H
#define KELTO_TOOLS_STYLEPIECES_H

namespace kelto::draw {

class ImageWriter;

// The pieces the widget style paints with: button caps and stretches, group
// box title and frame, radio buttons and sliders. Every cap/stretch family is
// cut from one drawing, so neighbouring pieces share their edge columns.
void drawStylePieces(ImageWriter &out);

} // namespace kelto::draw

#endif
