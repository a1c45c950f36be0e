#ifndef KELTO_MONITOR_BALLASTPAGE_H
#define KELTO_MONITOR_BALLASTPAGE_H

#include "ballastsnapshot.h"

#include <QString>
#include <QStringList>

// The ballast tab's HTML page, built from the snapshot bytes alone.
struct BallastPage
{
    // The page as the text browser is given it.
    QString html;
    // The same fragments with their placeholders left unfilled: two pages
    // with equal layouts differ in their values only.
    QString layout;
    // The text put in for each placeholder, in page order: the Initialised
    // and Withdraw bitmaps, then the 64 cells of each inner table (DTR,
    // LEVEL, STATUS, SHORT ADDREES, random_address_HH, _MM, _LL, start_lvl,
    // end_lvl, start_time, end_time), ballast 0 to 63.
    QStringList values;
};

namespace kelto::ballast {
// Inner tables on the page and cells in each.
constexpr int tableCount = 11;
constexpr int cellsPerTable = 64;
constexpr int bitmapCount = 2;
constexpr int valueCount = bitmapCount + tableCount * cellsPerTable;
} // namespace kelto::ballast

// vrb: 864 bytes, vrBalasts: 64 records of 28 bytes. Every fragment goes
// through the window's translation context before its placeholder is filled.
BallastPage buildBallastPage(const unsigned char *vrb, const unsigned char *vrBalasts);

// The page shown instead while the snapshot is not live: why there are no
// values, and no value at all, so that nothing old or zero passes for the
// converter's present state.
BallastPage buildNotLivePage(BallastSnapshot::Link why);

// The page for the snapshot as it is: its values when live, else why not.
BallastPage buildBallastPage(const BallastSnapshot::Data &data);

#endif
