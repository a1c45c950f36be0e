#ifndef KELTO_MONITOR_BALLASTVIEW_H
#define KELTO_MONITOR_BALLASTVIEW_H

#include "ballastpage.h"
#include "qtprivate.h"
#if KELTO_QT_PRIVATE
#include "sameroom.h"
#endif

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

class QTextBrowser;
class QTextDocument;
class QTextTable;

// Keeps the ballast page shown in a text browser. A page equal to the last
// one changes nothing. A page whose fragments are those of the page on show
// and whose values differ is written into the existing document cell by
// cell: setHtml would parse the page again and lay it out several times over
// (the scroll bar disappears with the old content and comes back with the
// new), while the cell edits cost at most one layout. Built with Qt's private
// text layout (KELTO_QT_PRIVATE) they cost none where each new value takes
// the room of the old (see InPlaceLayout). Any other page is set whole. The
// document after the edits is the one setHtml of the page gives, laid out
// and painted the same.
class BallastView : public QObject
{
    Q_OBJECT

public:
    enum class Update { Unchanged, Replaced, Patched };

    // A child of the browser; the browser outlives nothing it shows.
    explicit BallastView(QTextBrowser *browser);

    Update show(const BallastPage &page);

    const QString &lastHtml() const { return shownHtml; }
    // How often the whole page was set and how often it was edited in place.
    int replaceCount() const { return replaced; }
    int patchCount() const { return patched; }

    // Whether this build can keep the page's geometry for values that take
    // the room of the old ones; without it every patch lays out the page.
    static constexpr bool laysOutInPlace = KELTO_QT_PRIVATE;
    // Patches that laid out the whole page, and values laid out in their
    // own block alone, on the document now shown.
    int fullLayouts() const;
    int blockEdits() const;

private:
    void replace(const BallastPage &page);
    void patch(const BallastPage &page);
    // Finds the bitmap text and the inner tables of the page just set and
    // checks that each holds its value where the edits will look for it.
    bool mapDocument(const BallastPage &page);

    // True while the browser still shows the document as this view left it.
    bool documentIsOurs() const;

    QTextBrowser *browser;
    QPointer<QTextDocument> document;
    int revision = -1;
    QString shownHtml;
    QString shownLayout;
    QStringList shownValues;

    bool editable = false;
    int bitmapBlockPosition = 0;
    // Offset of each bitmap's first digit in its block.
    int bitmapOffset[kelto::ballast::bitmapCount] = {};
    QVector<QPointer<QTextTable>> tables;
#if KELTO_QT_PRIVATE
    SameRoom sameRoom;
#else
    int patchesOfDocument = 0;
#endif

    int replaced = 0;
    int patched = 0;
};

#endif
