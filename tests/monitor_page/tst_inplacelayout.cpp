// The in-place layout keeps a document's geometry only where an edit moves
// nothing, and the room check lets only such edits through.
#include "inplacelayout.h"
#include "layoutdump.h"
#include "sameroom.h"

#include <QFontMetricsF>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

namespace {

// A table of cells in a proportional font, where "i" and "W" differ.
QString page(const QStringList &cells)
{
    QString html = "<html><body style=\"font-family:'DejaVu Sans';font-size:12px;\"><table>";
    for (int row = 0; row < 4; ++row) {
        html += "<tr>";
        for (int column = 0; column < 5; ++column)
            html += "<td>" + cells.value(5 * row + column) + "</td>";
        html += "</tr>";
    }
    return html + "</table><p>0b0101</p></body></html>";
}

// Twenty different cells, "i00" to "i19".
QStringList someCells()
{
    QStringList cells;
    for (int i = 0; i < 20; ++i)
        cells << QStringLiteral("i%1").arg(i, 2, 10, QLatin1Char('0'));
    return cells;
}

// The font of the pages above.
QFont proportionalFont()
{
    QFont font("DejaVu Sans");
    font.setPixelSize(12);
    return font;
}

bool haveProportionalFont()
{
    const QFontMetricsF metrics(proportionalFont());
    return metrics.horizontalAdvance('i') != metrics.horizontalAdvance('W');
}

// The font of the ballast page.
QFont pageFont()
{
    QFont font("courier");
    font.setPixelSize(10);
    return font;
}

struct Browser
{
    Browser()
    {
        layout = new InPlaceLayout(view.document());
        view.document()->setDocumentLayout(layout);
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
    }

    // Replaces the text at [from, from + length) in an edit of its own.
    void edit(int from, int length, const QString &text, bool inPlace)
    {
        QTextCursor cursor(view.document());
        cursor.beginEditBlock();
        cursor.setPosition(from);
        cursor.setPosition(from + length, QTextCursor::KeepAnchor);
        layout->setNextEditInPlace(inPlace);
        cursor.insertText(text);
        cursor.endEditBlock();
    }

    int find(const QString &text) { return view.document()->find(text).selectionStart(); }

    // Where each cell of someCells() starts, before any edit.
    QList<int> cellPositions()
    {
        QList<int> positions;
        for (const QString &cell : someCells())
            positions << find(cell);
        return positions;
    }

    QTextBrowser view;
    InPlaceLayout *layout = nullptr;
};

// The layout a fresh document with this html gets in a browser of this size.
QStringList freshLayout(const QString &html, const QSize &size)
{
    QTextBrowser fresh;
    fresh.resize(size);
    fresh.show();
    fresh.setHtml(html);
    return layoutDump(fresh.document());
}

} // namespace

class TestInPlaceLayout : public QObject
{
    Q_OBJECT

private slots:
    void sameRoom_data();
    void sameRoom();
    void sameRoomInProportionalFont();
    void keptEditsLeaveTheFreshLayout();
    void falsePromiseIsLaidOutWhole();
    void afterOneMismatchTheBatchWaitsForOneLayout();
    void editsOutsideABatchAreStock();
    void fewEditsRepaintTheirBlocksManyTheirArea();
};

void TestInPlaceLayout::sameRoom_data()
{
    QTest::addColumn<QString>("old");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QChar>("before");
    QTest::addColumn<QChar>("after");
    QTest::addColumn<bool>("same");

    const QChar none;
    QTest::newRow("digits") << "042"
                            << "107" << none << none << true;
    QTest::newRow("bits") << "0101"
                          << "1110" << QChar('b') << none << true;
    QTest::newRow("unchanged") << "00"
                               << "00" << none << none << true;
    QTest::newRow("longer") << "99"
                            << "100" << none << none << false;
    QTest::newRow("shorter") << "100"
                             << "99" << none << none << false;
    QTest::newRow("empty") << ""
                           << "" << none << none << false;
    QTest::newRow("space inside") << "4 2"
                                  << "402" << none << none << false;
    QTest::newRow("punctuation") << "4.2"
                                 << "402" << none << none << false;
    QTest::newRow("not ASCII") << "\u00e91"
                               << "e1" << none << none << false;
    // After "0x" a hex value may start with a letter or a digit alike.
    QTest::newRow("hex after letter") << "0e"
                                      << "a9" << QChar('x') << none << true;
    // A neighbour that breaks before one kind and not the other.
    QTest::newRow("letter after space") << "0e"
                                        << "a9" << QChar(' ') << none << false;
    QTest::newRow("digit after space") << "0e"
                                       << "1f" << QChar(' ') << none << true;
    QTest::newRow("kind changes before space") << "0e"
                                               << "09" << none << QChar(' ') << false;
    QTest::newRow("kind kept before space") << "0e"
                                            << "0f" << none << QChar(' ') << true;
}

void TestInPlaceLayout::sameRoom()
{
    QFETCH(QString, old);
    QFETCH(QString, now);
    QFETCH(QChar, before);
    QFETCH(QChar, after);
    QFETCH(bool, same);
    const QFont fixed = pageFont();
    if (!QFontInfo(fixed).fixedPitch())
        QSKIP("no fixed-pitch font on this machine");
    SameRoom room;
    QCOMPARE(room(old, now, fixed, before, after), same);
    // Asked again, from what it remembers.
    QCOMPARE(room(old, now, fixed, before, after), same);
}

void TestInPlaceLayout::sameRoomInProportionalFont()
{
    if (!haveProportionalFont())
        QSKIP("no proportional font on this machine");
    const QFont font = proportionalFont();
    const QFontMetricsF metrics(font);
    SameRoom room;
    QVERIFY(!room("ii", "WW", font, QChar(), QChar()));
    QVERIFY(!room("i1", "W1", font, QChar(), QChar()));
    QVERIFY(room("i1", "i2", font, QChar(), QChar())
        == (metrics.horizontalAdvance("i1") == metrics.horizontalAdvance("i2")));
    // Another font is measured anew: in a fixed-pitch one the two fit.
    const QFont fixed = pageFont();
    if (QFontInfo(fixed).fixedPitch())
        QVERIFY(room("ii", "WW", fixed, QChar(), QChar()));
}

void TestInPlaceLayout::keptEditsLeaveTheFreshLayout()
{
    Browser b;
    QStringList cells = someCells();
    b.view.setHtml(page(cells));
    const QList<int> at = b.cellPositions();
    b.layout->beginEdits();
    for (int i : {0, 7, 19}) {
        cells[i] = QStringLiteral("i%1").arg(99 - i);
        b.edit(at[i], 3, cells[i], true);
    }
    b.edit(b.find("0b0101") + 2, 4, "1010", true);
    b.layout->endEdits();
    QCOMPARE(b.layout->blockEdits(), 4);
    QCOMPARE(b.layout->fullLayouts(), 0);
    QCOMPARE(layoutDump(b.view.document()),
        freshLayout(page(cells).replace("0b0101", "0b1010"), b.view.size()));
}

void TestInPlaceLayout::falsePromiseIsLaidOutWhole()
{
    if (!haveProportionalFont())
        QSKIP("no proportional font on this machine");
    Browser b;
    QStringList cells = someCells();
    b.view.setHtml(page(cells));
    b.layout->beginEdits();
    // Promised to keep its room, but "W" is far wider than "i".
    b.edit(b.find(cells[3]), 1, "W", true);
    cells[3][0] = 'W';
    b.layout->endEdits();
    QCOMPARE(b.layout->blockEdits(), 0);
    QCOMPARE(b.layout->fullLayouts(), 1);
    QCOMPARE(layoutDump(b.view.document()), freshLayout(page(cells), b.view.size()));
}

void TestInPlaceLayout::afterOneMismatchTheBatchWaitsForOneLayout()
{
    Browser b;
    QStringList cells = someCells();
    b.view.setHtml(page(cells));
    const QList<int> at = b.cellPositions();
    b.layout->beginEdits();
    // From the last cell back, so the longer text moves no cell still to do.
    b.edit(at[12], 3, "i88", true);
    cells[12] = "i88";
    b.edit(at[5], 3, "i777", false);
    cells[5] = "i777";
    // This one would keep its room, but the page is laid out anew anyway.
    b.edit(at[0], 3, "i66", true);
    cells[0] = "i66";
    // The block edited after the mismatch holds no stale lines meanwhile.
    QCOMPARE(b.view.document()->findBlock(at[0]).layout()->lineCount(), 0);
    QCOMPARE(b.view.document()->findBlock(at[5]).layout()->lineCount(), 0);
    b.layout->endEdits();
    QCOMPARE(b.layout->blockEdits(), 1);
    QCOMPARE(b.layout->fullLayouts(), 1);
    QCOMPARE(layoutDump(b.view.document()), freshLayout(page(cells), b.view.size()));
}

void TestInPlaceLayout::editsOutsideABatchAreStock()
{
    Browser b;
    QStringList cells = someCells();
    b.view.setHtml(page(cells));
    b.edit(b.find(cells[2]), 3, "i55", true);
    cells[2] = "i55";
    QCOMPARE(b.layout->blockEdits(), 0);
    QCOMPARE(b.layout->fullLayouts(), 0);
    QCOMPARE(layoutDump(b.view.document()), freshLayout(page(cells), b.view.size()));
}

void TestInPlaceLayout::fewEditsRepaintTheirBlocksManyTheirArea()
{
    Browser b;
    QStringList cells = someCells();
    b.view.setHtml(page(cells));
    QTextDocument *doc = b.view.document();
    const QList<int> at = b.cellPositions();
    QSignalSpy updates(b.layout, &QAbstractTextDocumentLayout::update);

    b.layout->beginEdits();
    b.edit(at[6], 3, "i60", true);
    b.layout->endEdits();
    QCOMPARE(updates.count(), 1);
    const QRectF area = updates.at(0).at(0).toRectF();
    QVERIFY(area.contains(b.layout->blockBoundingRect(doc->findBlock(at[6]))));
    QVERIFY(area.height() < doc->size().height() / 4);

    // Twenty cells and the bitmap: one area around them all.
    updates.clear();
    b.layout->beginEdits();
    for (int i = 0; i < 20; ++i)
        b.edit(at[i], 3, QStringLiteral("i%1").arg(80 - i), true);
    b.edit(b.find("0b0101") + 2, 4, "1111", true);
    b.layout->endEdits();
    QCOMPARE(b.layout->blockEdits(), 22);
    QCOMPARE(updates.count(), 1);
    for (int i = 0; i < 20; ++i) {
        const QRectF cell = b.layout->blockBoundingRect(doc->findBlock(at[i]));
        QVERIFY(updates.at(0).at(0).toRectF().contains(cell));
    }
}

QTEST_MAIN(TestInPlaceLayout)
#include "tst_inplacelayout.moc"
