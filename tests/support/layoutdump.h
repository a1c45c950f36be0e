#ifndef KELTO_TEST_LAYOUTDUMP_H
#define KELTO_TEST_LAYOUTDUMP_H

#include <QAbstractTextDocumentLayout>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

// Where every block and line of a document is laid out, as text, so two
// documents that should look alike compare with a readable difference.
inline QStringList layoutDump(QTextDocument *doc)
{
    QStringList out;
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    out << QStringLiteral("size %1x%2").arg(doc->size().width()).arg(doc->size().height());
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        const QRectF r = layout->blockBoundingRect(b);
        out << QStringLiteral("block %1 '%2' at %3,%4 %5x%6")
                   .arg(b.blockNumber())
                   .arg(b.text())
                   .arg(r.x())
                   .arg(r.y())
                   .arg(r.width())
                   .arg(r.height());
        const QTextLayout *tl = b.layout();
        for (int i = 0; tl && i < tl->lineCount(); ++i) {
            const QTextLine l = tl->lineAt(i);
            out << QStringLiteral("  line %1+%2 at %3,%4 width %5 natural %6 height %7")
                       .arg(l.textStart())
                       .arg(l.textLength())
                       .arg(l.x())
                       .arg(l.y())
                       .arg(l.width())
                       .arg(l.naturalTextWidth())
                       .arg(l.height());
        }
    }
    return out;
}

#endif
