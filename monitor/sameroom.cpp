#include "sameroom.h"

#include <QFontMetricsF>

namespace {

// Letters and digits never offer a line break between them.
bool plainLetterOrDigit(QChar c)
{
    return c.unicode() < 0x80 && (c.isDigit() || c.isLetter());
}

// Keeps the table of whole-text widths from growing without end: the 32-bit
// cells can show any of four billion texts.
constexpr int maxRemembered = 4096;

} // namespace

bool SameRoom::operator()(
    const QString &old, const QString &now, const QFont &f, QChar before, QChar after)
{
    if (old.size() != now.size() || old.isEmpty())
        return false;
    if (!haveFont || !(f == font) || f.resolveMask() != font.resolveMask()) {
        font = f;
        haveFont = true;
        textWidths.clear();
        std::fill(std::begin(haveCharWidth), std::end(haveCharWidth), false);
    }
    for (int i = 0; i < old.size(); ++i) {
        const QChar a = old[i];
        const QChar b = now[i];
        if (!plainLetterOrDigit(a) || !plainLetterOrDigit(b))
            return false;
        if (a != b && width(a) != width(b))
            return false;
    }
    // Between letters and digits there is never a break, whichever kind
    // comes next; other neighbours may break before a letter but not before
    // a digit, or the other way round.
    const auto breaksStay = [](QChar neighbour, QChar a, QChar b) {
        return neighbour.isNull() || plainLetterOrDigit(neighbour) || a.isDigit() == b.isDigit();
    };
    if (!breaksStay(before, old.front(), now.front()) || !breaksStay(after, old.back(), now.back()))
        return false;
    // Kerning could still make the whole wider or narrower.
    return width(old) == width(now);
}

qreal SameRoom::width(const QString &text)
{
    const auto found = textWidths.constFind(text);
    if (found != textWidths.constEnd())
        return *found;
    if (textWidths.size() >= maxRemembered)
        textWidths.clear();
    const qreal w = QFontMetricsF(font).horizontalAdvance(text);
    textWidths.insert(text, w);
    return w;
}

qreal SameRoom::width(QChar c)
{
    const int i = c.unicode();
    if (!haveCharWidth[i]) {
        charWidths[i] = QFontMetricsF(font).horizontalAdvance(c);
        haveCharWidth[i] = true;
    }
    return charWidths[i];
}
