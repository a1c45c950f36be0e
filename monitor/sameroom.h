#ifndef KELTO_MONITOR_SAMEROOM_H
#define KELTO_MONITOR_SAMEROOM_H

#include <QFont>
#include <QHash>
#include <QString>

// Tells whether one value can take another's place in the page without
// moving anything: as many characters, all ASCII letters and digits (one
// word with no place to break inside), the line breaks around it unchanged
// (its neighbours are letters or digits too, or it begins or ends its
// paragraph, or it begins and ends with the same kind of character as
// before), each character as wide as the one it replaces and the whole as
// wide as before. Cell values are decimal and
// hex digits and bits in a fixed-pitch font, so a refresh normally passes.
// Widths are remembered per font; the values of a page repeat a lot.
class SameRoom
{
public:
    // `before` and `after` are the characters next to the value in its
    // paragraph, null where there is none.
    bool operator()(
        const QString &old, const QString &now, const QFont &font, QChar before, QChar after);

private:
    qreal width(const QString &text);
    qreal width(QChar c);

    QFont font;
    bool haveFont = false;
    QHash<QString, qreal> textWidths;
    qreal charWidths[128] = {};
    bool haveCharWidth[128] = {};
};

#endif
