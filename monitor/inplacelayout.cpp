#include "inplacelayout.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <vector>

// Everything of a line that the table layout and the painting read.
struct InPlaceLayout::LineGeometry
{
    explicit LineGeometry(const QTextLine &line)
        : width(line.width())
        , position(line.position())
        , start(line.textStart())
        , length(line.textLength())
        , natural(line.naturalTextWidth())
        , advance(line.horizontalAdvance())
        , ascent(line.ascent())
        , descent(line.descent())
        , leading(line.leading())
        , leadingIncluded(line.leadingIncluded())
    {
    }

    bool operator==(const LineGeometry &o) const
    {
        return width == o.width && position == o.position && start == o.start && length == o.length
            && natural == o.natural && advance == o.advance && ascent == o.ascent
            && descent == o.descent && leading == o.leading && leadingIncluded == o.leadingIncluded;
    }

    qreal width;
    QPointF position;
    int start;
    int length;
    qreal natural;
    qreal advance;
    qreal ascent;
    qreal descent;
    qreal leading;
    bool leadingIncluded;
};

// A block's text and formats, and the lines it came out at.
struct InPlaceLayout::Checked
{
    bool sameInput(const Checked &o) const
    {
        return blockFormat == o.blockFormat && text == o.text && fragments == o.fragments;
    }

    QString text;
    int blockFormat = -1;
    // Length and format of each fragment.
    std::vector<std::pair<int, int>> fragments;
    std::vector<LineGeometry> lines;
};

std::vector<InPlaceLayout::LineGeometry> InPlaceLayout::linesOf(const QTextLayout &layout)
{
    std::vector<LineGeometry> lines;
    lines.reserve(layout.lineCount());
    for (int i = 0; i < layout.lineCount(); ++i)
        lines.emplace_back(layout.lineAt(i));
    return lines;
}

namespace {

// Texts remembered per block: a value changing back and forth, or among a
// few, is checked once.
constexpr std::size_t textsPerBlock = 4;

} // namespace

InPlaceLayout::InPlaceLayout(QTextDocument *document)
    : QTextDocumentLayout(document)
{
}

InPlaceLayout::~InPlaceLayout() = default;

void InPlaceLayout::beginEdits()
{
    editing = true;
    wholeDocument = false;
    nextInPlace = false;
    dirty.clear();
}

void InPlaceLayout::setNextEditInPlace(bool inPlace)
{
    nextInPlace = inPlace;
}

void InPlaceLayout::endEdits()
{
    editing = false;
    if (wholeDocument) {
        wholeDocument = false;
        ++fullLayoutCount;
        const int length = document()->characterCount();
        layoutAll(0, length, length);
        return;
    }
    // A few blocks are repainted each on its own; many, as the one area
    // around them, which costs the painter less than a region of hundreds
    // of pieces.
    constexpr std::size_t fewBlocks = 16;
    if (dirty.size() <= fewBlocks) {
        for (const QRectF &rect : dirty)
            emit update(rect);
    } else {
        QRectF all;
        for (const QRectF &rect : dirty)
            all |= rect;
        emit update(all);
    }
    dirty.clear();
}

void InPlaceLayout::documentChanged(int from, int oldLength, int length)
{
    if (!editing) {
        layoutAll(from, oldLength, length);
        return;
    }
    const bool inPlace = nextInPlace;
    nextInPlace = false;
    const QTextBlock block = document()->findBlock(from);
    if (inPlace && !wholeDocument && oldLength == length && block.isValid()
        && from + length < block.position() + block.length() && relayoutInPlace(block)) {
        ++blockEditCount;
        dirty.push_back(paintArea(block));
        return;
    }
    // The whole document is laid out when the batch ends. Until then the
    // blocks this edit touched hold no lines, as the stock layout leaves
    // them while it is still working through a document, so nothing reads
    // lines that no longer fit their text.
    wholeDocument = true;
    const QTextBlock end = document()->findBlock(qMax(from, from + length - 1)).next();
    for (QTextBlock b = block; b.isValid() && b != end; b = b.next())
        b.clearLayout();
}

void InPlaceLayout::layoutAll(int from, int oldLength, int length)
{
    paintAreas.clear();
    checked.clear();
    QTextDocumentLayout::documentChanged(from, oldLength, length);
}

QRectF InPlaceLayout::paintArea(const QTextBlock &block)
{
    // Finding a block in nested tables walks the frames; its place only
    // changes with a layout of the document, so it is looked up once.
    const int position = block.position();
    const auto known = paintAreas.constFind(position);
    if (known != paintAreas.constEnd())
        return *known;
    const QRectF rect = blockBoundingRect(block);
    // Glyphs may reach a little past their advance.
    const qreal margin = rect.height() / 2;
    const QRectF area = rect.adjusted(-margin, 0, margin, 0);
    paintAreas.insert(position, area);
    return area;
}

bool InPlaceLayout::relayoutInPlace(const QTextBlock &block)
{
    // Only a document laid out to the end has lines worth keeping.
    if (layoutStatus() != 100)
        return false;
    QTextLayout *layout = block.layout();
    if (!layout || layout->lineCount() == 0)
        return false;
    // The edit left the lines as they were and dropped only the glyphs.
    Checked now;
    now.lines = linesOf(*layout);
    if (checkedBefore(block, now))
        return true;
    const std::vector<LineGeometry> &before = now.lines;

    // The same calls the stock layout makes for a line, with the width and
    // place it gave each line last time.
    layout->beginLayout();
    for (const LineGeometry &old : before) {
        QTextLine line = layout->createLine();
        if (!line.isValid())
            break;
        line.setLeadingIncluded(old.leadingIncluded);
        line.setLineWidth(old.width);
        line.setPosition(old.position);
    }
    // Text left over for another line means the breaks moved.
    QTextLine extra = layout->createLine();
    const bool more = extra.isValid();
    if (more)
        extra.setLineWidth(before.back().width);
    layout->endLayout();

    if (!more && linesOf(*layout) == before) {
        std::vector<Checked> &texts = checked[block.position()];
        if (texts.size() >= textsPerBlock)
            texts.erase(texts.begin());
        texts.push_back(std::move(now));
        return true;
    }
    layout->clearLayout();
    return false;
}

bool InPlaceLayout::checkedBefore(const QTextBlock &block, Checked &now)
{
    now.text = block.text();
    now.blockFormat = block.blockFormatIndex();
    for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        now.fragments.emplace_back(fragment.length(), fragment.charFormatIndex());
    }
    const auto found = checked.constFind(block.position());
    if (found == checked.constEnd())
        return false;
    for (const Checked &known : *found) {
        if (known.sameInput(now) && known.lines == now.lines)
            return true;
    }
    return false;
}
