#include "ballastview.h"

#if KELTO_QT_PRIVATE
#include "inplacelayout.h"
#endif

#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

namespace {

using namespace kelto::ballast;

// An inner table: a header row, then 8 rows of 8 ballasts.
constexpr int innerRows = 9;
constexpr int innerColumns = 8;

QTextTableCell ballastCell(QTextTable *table, int n)
{
    return table->cellAt(1 + n / innerColumns, n % innerColumns);
}

// The text of a cell that holds one block, or a null string.
QString cellText(const QTextTableCell &cell)
{
    if (!cell.isValid())
        return QString();
    const QTextBlock first = cell.firstCursorPosition().block();
    if (first != cell.lastCursorPosition().block())
        return QString();
    return first.text();
}

#if KELTO_QT_PRIVATE
// The document's layout, made an InPlaceLayout first if it is not one.
InPlaceLayout *inPlaceLayout(QTextDocument *doc)
{
    if (auto *layout = qobject_cast<InPlaceLayout *>(doc->documentLayout()))
        return layout;
    auto *layout = new InPlaceLayout(doc);
    doc->setDocumentLayout(layout);
    return layout;
}
#endif

} // namespace

BallastView::BallastView(QTextBrowser *browser)
    : QObject(browser)
    , browser(browser)
{
    // The browser's default breaks a word anywhere once its cell is too
    // narrow for it, which turns "016" into "01" over "6". Breaking only
    // between words keeps each value whole; a table that is then wider than
    // the view scrolls sideways.
    browser->setWordWrapMode(QTextOption::WordWrap);
}

BallastView::Update BallastView::show(const BallastPage &page)
{
    if (page.html == shownHtml)
        return Update::Unchanged;
    if (editable && documentIsOurs() && page.layout == shownLayout
        && page.values.size() == shownValues.size()) {
        patch(page);
        return Update::Patched;
    }
    replace(page);
    return Update::Replaced;
}

void BallastView::replace(const BallastPage &page)
{
#if KELTO_QT_PRIVATE
    inPlaceLayout(browser->document());
#else
    if (browser->document() != document)
        patchesOfDocument = 0;
#endif
    browser->setHtml(page.html);
    ++replaced;
    shownHtml = page.html;
    shownLayout = page.layout;
    shownValues = page.values;
    editable = mapDocument(page);
    document = browser->document();
    revision = document->revision();
}

bool BallastView::documentIsOurs() const
{
    if (document != browser->document() || document->revision() != revision)
        return false;
    for (const QPointer<QTextTable> &table : tables) {
        if (!table)
            return false;
    }
    return true;
}

void BallastView::patch(const BallastPage &page)
{
    QTextDocument *doc = browser->document();
    // A read-only view needs no undo history; keeping it would grow with
    // every refresh.
    const bool undo = doc->isUndoRedoEnabled();
    const bool modified = doc->isModified();
    doc->setUndoRedoEnabled(false);

    QTextCursor cursor(doc);
#if KELTO_QT_PRIVATE
    // Each value is its own edit, so the layout sees each change on its own
    // and can keep the page's geometry where a value is swapped for one that
    // takes the same room; it lays the page out once at the end otherwise.
    InPlaceLayout *layout = inPlaceLayout(doc);
    layout->beginEdits();
#else
    // The stock layout lays the nested tables out anew after every edit
    // block: one block for all values makes it one layout.
    cursor.beginEditBlock();
#endif
    // endOf() gives where the value ends in the document now.
    const auto edit = [&](const auto &endOf, int value) {
#if KELTO_QT_PRIVATE
        // Inside the edit block no cursor asks the layout for its place.
        cursor.beginEditBlock();
#endif
        const QString &old = shownValues[value];
        const QString &now = page.values[value];
        const int end = endOf();
        const int start = end - old.size();
        cursor.setPosition(start);
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        const QTextCharFormat format = cursor.charFormat();
#if KELTO_QT_PRIVATE
        const QTextBlock block = cursor.block();
        const QChar before = start > block.position() ? doc->characterAt(start - 1) : QChar();
        const QChar after
            = end < block.position() + block.length() - 1 ? doc->characterAt(end) : QChar();
        layout->setNextEditInPlace(sameRoom(old, now, format.font(), before, after));
#endif
        cursor.insertText(now, format);
#if KELTO_QT_PRIVATE
        cursor.endEditBlock();
#endif
    };
    for (int b = 0; b < bitmapCount; ++b) {
        // The bitmaps always have 64 digits, so the positions of the text
        // around them never move.
        if (page.values[b] != shownValues[b])
            edit([&] { return bitmapBlockPosition + bitmapOffset[b] + shownValues[b].size(); }, b);
    }
    for (int t = 0; t < tableCount; ++t) {
        for (int n = 0; n < cellsPerTable; ++n) {
            const int i = bitmapCount + t * cellsPerTable + n;
            // Looked up afresh: an earlier cell may have changed its length.
            if (page.values[i] != shownValues[i])
                edit([&] { return ballastCell(tables[t], n).lastCursorPosition().position(); }, i);
        }
    }
#if KELTO_QT_PRIVATE
    layout->endEdits();
#else
    cursor.endEditBlock();
    ++patchesOfDocument;
#endif

    doc->setUndoRedoEnabled(undo);
    doc->setModified(modified);
    ++patched;
    revision = doc->revision();
    shownHtml = page.html;
    shownValues = page.values;
}

int BallastView::fullLayouts() const
{
#if KELTO_QT_PRIVATE
    const auto *layout = qobject_cast<InPlaceLayout *>(browser->document()->documentLayout());
    return layout ? layout->fullLayouts() : 0;
#else
    return patchesOfDocument;
#endif
}

int BallastView::blockEdits() const
{
#if KELTO_QT_PRIVATE
    const auto *layout = qobject_cast<InPlaceLayout *>(browser->document()->documentLayout());
    return layout ? layout->blockEdits() : 0;
#else
    return 0;
#endif
}

bool BallastView::mapDocument(const BallastPage &page)
{
    tables.clear();
    if (page.values.size() != valueCount)
        return false;
    QTextDocument *doc = browser->document();

    // The bitmaps: one block, each value after its own label.
    const QTextBlock block = doc->begin();
    const QString text = block.text();
    int from = 0;
    for (int b = 0; b < bitmapCount; ++b) {
        const int at = text.indexOf(page.values[b], from);
        if (at < 0)
            return false;
        bitmapOffset[b] = at;
        from = at + page.values[b].size();
    }
    bitmapBlockPosition = block.position();

    QTextTable *outer = nullptr;
    for (QTextFrame *frame : doc->rootFrame()->childFrames()) {
        if ((outer = qobject_cast<QTextTable *>(frame)))
            break;
    }
    if (!outer)
        return false;
    for (QTextFrame *frame : outer->childFrames()) {
        auto *table = qobject_cast<QTextTable *>(frame);
        if (!table || table->rows() != innerRows || table->columns() != innerColumns)
            return false;
        tables.append(table);
    }
    if (tables.size() != tableCount)
        return false;

    // Every ballast cell must end with its value, behind the same text.
    for (int t = 0; t < tableCount; ++t) {
        QString prefix;
        for (int n = 0; n < cellsPerTable; ++n) {
            const QString &value = page.values[bitmapCount + t * cellsPerTable + n];
            const QString cell = cellText(ballastCell(tables[t], n));
            if (cell.isNull() || !cell.endsWith(value))
                return false;
            const QString before = cell.left(cell.size() - value.size());
            if (n == 0)
                prefix = before;
            else if (before != prefix)
                return false;
        }
    }
    return true;
}
