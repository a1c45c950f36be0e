#ifndef KELTO_MONITOR_INPLACELAYOUT_H
#define KELTO_MONITOR_INPLACELAYOUT_H

#include <QHash>
#include <QRectF>

#include <vector>

// The stock layout lives behind Qt's private headers; it is the only way to
// keep its table layout and still skip it where nothing can move.
#include <QtGui/private/qtextdocumentlayout_p.h>

class QTextBlock;
class QTextLayout;

// The document layout of the ballast page. Laying out the page's nested
// tables costs tens of milliseconds, and the stock layout does all of it
// again for any change anywhere inside them. A refresh mostly swaps cell
// values for others that take the same room, which moves nothing.
//
// Between beginEdits() and endEdits(), an edit announced with
// setNextEditInPlace(true) re-lays out only the lines of its own block, at
// their old widths and places. The editor vouches that the new text is as
// wide as the old at every width (the layout cannot see the old text); the
// layout checks that the lines come out exactly as before (same breaks,
// widths and heights). Then the rest of the document stays as it is and only
// that block is repainted. A block's text that came out right at its lines
// once comes out the same again until the next whole layout, so that check is
// done once per text and block; the glyphs are then shaped when painted. Any other edit, or a block
// whose lines changed, makes the batch lay out the whole document once, at endEdits(). Outside a
// batch it is the stock layout.
class InPlaceLayout : public QTextDocumentLayout
{
    Q_OBJECT

public:
    explicit InPlaceLayout(QTextDocument *document);
    ~InPlaceLayout() override;

    void beginEdits();
    void setNextEditInPlace(bool inPlace);
    void endEdits();

    // Edits laid out in their own block, and batches that had to lay out the
    // whole document.
    int blockEdits() const { return blockEditCount; }
    int fullLayouts() const { return fullLayoutCount; }

protected:
    void documentChanged(int from, int oldLength, int length) override;

private:
    struct LineGeometry;
    struct Checked;
    static std::vector<LineGeometry> linesOf(const QTextLayout &layout);

    // The stock layout, after which no remembered place holds.
    void layoutAll(int from, int oldLength, int length);
    bool relayoutInPlace(const QTextBlock &block);
    bool checkedBefore(const QTextBlock &block, Checked &now);
    // Where a block is painted, by its position in the document.
    QRectF paintArea(const QTextBlock &block);

    bool editing = false;
    bool wholeDocument = false;
    bool nextInPlace = false;
    std::vector<QRectF> dirty;
    QHash<int, QRectF> paintAreas;
    // Texts that kept their block's lines, by block position; forgotten
    // with every whole layout.
    QHash<int, std::vector<Checked>> checked;
    int blockEditCount = 0;
    int fullLayoutCount = 0;
};

#endif
