#ifndef KELTO_TEST_ONSCREEN_H
#define KELTO_TEST_ONSCREEN_H

#include <QImage>

class QAbstractScrollArea;

namespace kelto::test {

// What a scroll area's viewport shows on screen once the pending repaints
// are done: only what has been painted since a change, so a missed repaint
// shows as a difference. Null where the platform keeps no picture.
QImage onScreen(QAbstractScrollArea *area);

} // namespace kelto::test

#endif
