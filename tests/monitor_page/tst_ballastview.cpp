// The view keeps the browser showing exactly what setHtml of the latest page
// shows, whether it sets the page whole or edits the cells in place.
#include "ballastpage.h"
#include "ballastview.h"
#include "layoutdump.h"
#include "onscreen.h"

#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QTranslator>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

struct Bytes
{
    std::vector<unsigned char> vrb = std::vector<unsigned char>(864, 0);
    std::vector<unsigned char> records = std::vector<unsigned char>(64 * 28, 0);
    BallastPage page() const { return buildBallastPage(vrb.data(), records.data()); }
    void put32(int offset, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            vrb[offset + i] = (v >> (8 * i)) & 0xFF;
    }
};

using Change = std::function<void(Bytes &, int step)>;

// Every cell text of every table in the document, in order.
QStringList allCells(QTextDocument *doc)
{
    QStringList out;
    for (QTextFrame *frame : doc->rootFrame()->childFrames()) {
        auto *outer = qobject_cast<QTextTable *>(frame);
        if (!outer)
            continue;
        for (QTextFrame *innerFrame : outer->childFrames()) {
            auto *t = qobject_cast<QTextTable *>(innerFrame);
            for (int r = 0; t && r < t->rows(); ++r) {
                for (int c = 0; c < t->columns(); ++c) {
                    QTextTableCell cell = t->cellAt(r, c);
                    QTextCursor cur = cell.firstCursorPosition();
                    cur.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
                    out << cur.selectedText();
                }
            }
        }
    }
    return out;
}

// A browser on screen, as the window's ballast tab has it.
void showBrowser(QTextBrowser &browser)
{
    browser.resize(660, 520);
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
}

// Patches that must lay out the whole page: those whose values take other
// room, and every one where the build cannot keep the page's geometry.
int fullLayoutsExpected(int patches, bool inPlace)
{
    return inPlace && BallastView::laysOutInPlace ? 0 : patches;
}

// Shows in `browser` what a fresh setHtml of the same page gives: the same
// document, laid out the same, looking the same on screen.
void compareWithFreshPage(QTextBrowser &browser, const BallastPage &page)
{
    QTextBrowser fresh;
    fresh.setWordWrapMode(browser.wordWrapMode());
    fresh.setHtml(page.html);
    if (browser.isVisible()) {
        fresh.move(browser.pos() + QPoint(40, 40));
        showBrowser(fresh);
        fresh.resize(browser.size());
    } else {
        fresh.resize(browser.size());
    }
    QTextDocument *a = browser.document();
    QTextDocument *b = fresh.document();
    QCOMPARE(a->toPlainText(), b->toPlainText());
    QCOMPARE(a->toHtml(), b->toHtml());
    QCOMPARE(allCells(a), allCells(b));
    QCOMPARE(a->blockCount(), b->blockCount());
    QCOMPARE(a->characterCount(), b->characterCount());
    if (!browser.isVisible())
        return;
    QCOMPARE(browser.verticalScrollBar()->value(), fresh.verticalScrollBar()->value());
    QCOMPARE(layoutDump(a), layoutDump(b));
    const QImage shown = kelto::test::onScreen(&browser);
    QVERIFY(!shown.isNull());
    QVERIFY(shown == kelto::test::onScreen(&fresh));
}

class PrefixTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (QByteArray(context) == "Darvo_bootloader" && QByteArray(source) == "<td>%1</td>")
            return "<td>=%1</td>";
        return QString();
    }
};

} // namespace

class TestBallastView : public QObject
{
    Q_OBJECT

private slots:
    void firstPageIsSetWhole();
    void unchangedPageChangesNothing();
    void editedPageEqualsFreshPage_data();
    void editedPageEqualsFreshPage();
    void editsKeepNoUndoHistory();
    void editsAfterAResizeEqualFreshPage();
    void editsKeepTheOperatorsSelection();
    void foreignChangeMeansWholePage();
    void newLayoutMeansWholePage();
    void translatedCellsAreEditedToo();
};

void TestBallastView::firstPageIsSetWhole()
{
    QTextBrowser browser;
    BallastView view(&browser);
    const BallastPage page = Bytes().page();
    QCOMPARE(view.show(page), BallastView::Update::Replaced);
    QCOMPARE(view.lastHtml(), page.html);
    QCOMPARE(view.replaceCount(), 1);
    compareWithFreshPage(browser, page);
}

void TestBallastView::unchangedPageChangesNothing()
{
    QTextBrowser browser;
    BallastView view(&browser);
    Bytes b;
    b.vrb[30] = 5;
    view.show(b.page());
    const int revision = browser.document()->revision();
    QSignalSpy changes(browser.document(), &QTextDocument::contentsChange);
    QSignalSpy text(&browser, &QTextEdit::textChanged);
    QCOMPARE(view.show(b.page()), BallastView::Update::Unchanged);
    QCOMPARE(view.show(b.page()), BallastView::Update::Unchanged);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(text.count(), 0);
    QCOMPARE(browser.document()->revision(), revision);
    QCOMPARE(view.replaceCount(), 1);
    QCOMPARE(view.patchCount(), 0);
}

void TestBallastView::editedPageEqualsFreshPage_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<int>("steps");
    // Whether every value keeps its room, so nothing is laid out anew.
    QTest::addColumn<bool>("inPlace");

    QTest::newRow("one cell") << Change([](Bytes &b, int s) { b.vrb[24 + 17] = 10 + s; }) << 3
                              << true;
    // Values that come back are taken without a new layout of their cells.
    QTest::newRow("cells back and forth") << Change([](Bytes &b, int s) {
        b.vrb[24 + 17] = s % 2 ? 10 : 17;
        b.vrb[156 + 40] = s % 2 ? 0xAB : 0x3C;
        b.put32(604 + 4 * 12, s % 2 ? 12345678u : 87654321u);
    }) << 5 << true;
    QTest::newRow("few cells across tables") << Change([](Bytes &b, int s) {
        b.vrb[88 + 3] = s;
        b.vrb[156 + 40] = 0x10 * s;
        b.records[28 * 63 + 2] = s;
        b.put32(604 + 4 * 12, 1000 * s);
    }) << 4 << true;
    QTest::newRow("every byte") << Change([](Bytes &b, int s) {
        for (size_t i = 0; i < b.vrb.size(); ++i)
            b.vrb[i] = (i * 7 + s * 13) & 0xFF;
        for (size_t i = 0; i < b.records.size(); ++i)
            b.records[i] = (i * 3 + s * 29) & 0xFF;
    }) << 3 << false;
    // Hex digits turn into letters and back, next to the "0x" before them.
    QTest::newRow("every byte, same digit counts") << Change([](Bytes &b, int s) {
        for (size_t i = 0; i < b.vrb.size(); ++i)
            b.vrb[i] = (i * 7 + s * 13) & 0xFF;
        for (int n = 0; n < 64; ++n) {
            for (int f = 0; f < 28; ++f)
                b.records[28 * n + f] = f == 5 ? (n + s) % 64 : (n * 3 + s * 29 + f) & 0xFF;
        }
        for (int n = 0; n < 128; ++n)
            b.put32(348 + 4 * n, 10000000u + 7919u * n + 104729u * s);
    }) << 3 << true;
    // Cells whose text grows and shrinks shift everything after them.
    QTest::newRow("cell lengths change") << Change([](Bytes &b, int s) {
        b.records[28 * 0 + 5] = s % 2 ? 100 : 99;
        b.records[28 * 10 + 5] = s % 2 ? 5 : 250;
        b.put32(348, s % 2 ? 4000000000u : 7);
        b.put32(604 + 4 * 63, s % 2 ? 123456789u : 12345678u);
    }) << 4 << false;
    QTest::newRow("bitmaps") << Change([](Bytes &b, int s) {
        b.vrb[0] = 1 << s;
        b.vrb[7] = 0x80 >> s;
        b.vrb[8 + s] = 0xFF;
    }) << 3 << true;
}

void TestBallastView::editedPageEqualsFreshPage()
{
    QFETCH(Change, change);
    QFETCH(int, steps);
    QFETCH(bool, inPlace);
    QTextBrowser browser;
    showBrowser(browser);
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    kelto::test::onScreen(&browser);
    for (int s = 1; s <= steps; ++s) {
        change(b, s);
        const BallastPage page = b.page();
        QCOMPARE(view.show(page), BallastView::Update::Patched);
        QCOMPARE(view.lastHtml(), page.html);
        compareWithFreshPage(browser, page);
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(view.replaceCount(), 1);
    QCOMPARE(view.patchCount(), steps);
    QCOMPARE(view.fullLayouts(), fullLayoutsExpected(steps, inPlace));
    if (inPlace)
        QCOMPARE(view.blockEdits() > 0, BallastView::laysOutInPlace);

    // Laid out like a fresh page of the same width.
    QTextBrowser fresh;
    fresh.setWordWrapMode(browser.wordWrapMode());
    showBrowser(fresh);
    fresh.setHtml(b.page().html);
    browser.document()->setTextWidth(620);
    fresh.document()->setTextWidth(620);
    QCOMPARE(browser.document()->size(), fresh.document()->size());
}

void TestBallastView::editsKeepNoUndoHistory()
{
    QTextBrowser browser;
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    const bool undo = browser.document()->isUndoRedoEnabled();
    for (int s = 1; s < 5; ++s) {
        b.vrb[24] = s;
        QCOMPARE(view.show(b.page()), BallastView::Update::Patched);
    }
    QCOMPARE(browser.document()->availableUndoSteps(), 0);
    QCOMPARE(browser.document()->isUndoRedoEnabled(), undo);
    QVERIFY(!browser.document()->isModified());
}

// A new width lays the page out anew and moves every cell; the edits after
// it must repaint the cells where they are now.
void TestBallastView::editsAfterAResizeEqualFreshPage()
{
    QTextBrowser browser;
    showBrowser(browser);
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    b.vrb[24 + 9] = 1;
    view.show(b.page());
    for (const QSize &size : {QSize(420, 300), QSize(900, 700)}) {
        browser.resize(size);
        kelto::test::onScreen(&browser);
        b.vrb[24 + 9] += 1;
        b.records[28 * 40 + 3] += 0x11;
        QCOMPARE(view.show(b.page()), BallastView::Update::Patched);
        compareWithFreshPage(browser, b.page());
    }
    QCOMPARE(view.fullLayouts(), fullLayoutsExpected(3, true));
}

// Text the operator has selected (to copy it) stays selected across
// refreshes, whether the page is edited in place or laid out anew.
void TestBallastView::editsKeepTheOperatorsSelection()
{
    QTextBrowser browser;
    showBrowser(browser);
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    QTextCursor selection(browser.document());
    selection.setPosition(10);
    selection.setPosition(browser.document()->characterCount() / 2, QTextCursor::KeepAnchor);
    browser.setTextCursor(selection);
    const QString before = browser.textCursor().selectedText();

    b.vrb[0] = 0x81; // inside the selection
    b.vrb[24 + 2] = 200; // DTR of ballast 2, inside it too
    QCOMPARE(view.show(b.page()), BallastView::Update::Patched);
    QCOMPARE(browser.textCursor().anchor(), 10);
    QCOMPARE(browser.textCursor().selectedText().size(), before.size());
    QVERIFY(browser.textCursor().selectedText() != before);

    b.records[28 * 3 + 5] = 100; // a short address gains a digit
    QCOMPARE(view.show(b.page()), BallastView::Update::Patched);
    QCOMPARE(browser.textCursor().anchor(), 10);
    QVERIFY(browser.textCursor().hasSelection());
    QCOMPARE(view.fullLayouts(), fullLayoutsExpected(1, true) + 1);
}

void TestBallastView::foreignChangeMeansWholePage()
{
    QTextBrowser browser;
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    browser.setPlainText("something else");
    b.vrb[24] = 1;
    QCOMPARE(view.show(b.page()), BallastView::Update::Replaced);
    compareWithFreshPage(browser, b.page());

    // A new document object is not edited either.
    browser.setDocument(new QTextDocument(&browser));
    b.vrb[24] = 2;
    QCOMPARE(view.show(b.page()), BallastView::Update::Replaced);
    compareWithFreshPage(browser, b.page());
    b.vrb[24] = 3;
    QCOMPARE(view.show(b.page()), BallastView::Update::Patched);
    compareWithFreshPage(browser, b.page());
}

void TestBallastView::newLayoutMeansWholePage()
{
    QTextBrowser browser;
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    PrefixTranslator translator;
    QCoreApplication::installTranslator(&translator);
    const BallastPage translated = b.page();
    QCoreApplication::removeTranslator(&translator);
    QVERIFY(translated.layout != b.page().layout);
    QCOMPARE(view.show(translated), BallastView::Update::Replaced);
    compareWithFreshPage(browser, translated);
    QCOMPARE(view.show(b.page()), BallastView::Update::Replaced);
}

void TestBallastView::translatedCellsAreEditedToo()
{
    PrefixTranslator translator;
    QCoreApplication::installTranslator(&translator);
    QTextBrowser browser;
    BallastView view(&browser);
    Bytes b;
    view.show(b.page());
    b.vrb[24 + 5] = 42;
    b.records[5] = 101;
    const BallastPage page = b.page();
    QCOMPARE(view.show(page), BallastView::Update::Patched);
    compareWithFreshPage(browser, page);
    QCoreApplication::removeTranslator(&translator);
    QVERIFY(browser.toPlainText().contains("=042"));
}

QTEST_MAIN(TestBallastView)
#include "tst_ballastview.moc"
