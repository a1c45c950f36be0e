// The ballast page as a function of the snapshot bytes: field positions,
// number formats, fragment order and the translation of every fragment.
#include "ballastpage.h"

#include <QCoreApplication>
#include <QTest>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QTranslator>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace {

struct Bytes
{
    std::vector<unsigned char> vrb = std::vector<unsigned char>(864, 0);
    std::vector<unsigned char> records = std::vector<unsigned char>(64 * 28, 0);

    void put32(int offset, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            vrb[offset + i] = (v >> (8 * i)) & 0xFF;
    }
    void put64(int offset, uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            vrb[offset + i] = (v >> (8 * i)) & 0xFF;
    }
    BallastPage page() const { return buildBallastPage(vrb.data(), records.data()); }
};

using Setter = std::function<void(Bytes &)>;

// The page's field table, written down again here so that the page is
// checked against something the builder did not produce.
struct Field
{
    QString title;
    QString cell; // with %1
    int width;
    int base;
    std::function<uint32_t(const Bytes &, int)> value;
};

std::vector<Field> fields()
{
    auto vrbByte = [](int offset) {
        return [offset](const Bytes &b, int n) { return uint32_t(b.vrb[offset + n]); };
    };
    auto vrbWord = [](int offset) {
        return [offset](const Bytes &b, int n) {
            const unsigned char *p = &b.vrb[offset + 4 * n];
            return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
        };
    };
    auto record = [](int offset) {
        return [offset](const Bytes &b, int n) { return uint32_t(b.records[28 * n + offset]); };
    };
    const QString plain = "<td>%1</td>";
    const QString hex = "<td>0x%1</td>";
    return {
        {"DTR", plain, 3, 10, vrbByte(24)},
        {"LEVEL", plain, 3, 10, vrbByte(88)},
        {"STATUS", hex, 2, 16, vrbByte(156)},
        {"SHORT ADDREES", plain, 2, 10, record(5)},
        {"random_address_HH", hex, 2, 16, record(4)},
        {"random_address_MM", hex, 2, 16, record(3)},
        {"random_address_LL", hex, 2, 16, record(2)},
        {"start_lvl", plain, 3, 10, vrbByte(220)},
        {"end_lvl", plain, 3, 10, vrbByte(284)},
        {"start_time", plain, 8, 10, vrbWord(348)},
        {"end_time", plain, 8, 10, vrbWord(604)},
    };
}

QStringList expectedFragments(const Bytes &b)
{
    auto bits = [&](int offset) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | b.vrb[offset + i];
        QString s;
        for (int i = 63; i >= 0; --i)
            s += (v >> i) & 1 ? '1' : '0';
        return s;
    };
    QStringList out = {
        "<html><head></head>",
        "<body style=\"font-family:courier;color:black;font-size:10px;text-align:left;\">",
        "<p style=\"text-align:left;\">",
        "<br>Initialised: <br>0b" + bits(0),
        "<br>Withdraw: <br>0b" + bits(8),
        "<table style=\"text-align:center;\">",
    };
    const std::vector<Field> table = fields();
    const int perRow[] = {4, 3, 2, 2};
    int t = 0;
    for (int row = 0; row < 4; ++row) {
        out << "<tr>";
        for (int i = 0; i < perRow[row]; ++i, ++t) {
            out << (row == 3 ? "<td colspan=\"2\">" : "<td>");
            const Field &f = table[t];
            out << "<table style=\"text-align:left;\"><tr><td colspan=\"8\">" + f.title
                    + "</td></tr>";
            for (int r = 0; r < 8; ++r) {
                out << "<tr>";
                for (int c = 0; c < 8; ++c) {
                    const uint32_t v = f.value(b, 8 * r + c);
                    QString digits = QString::number(v, f.base);
                    while (digits.size() < f.width)
                        digits.prepend('0');
                    out << QString(f.cell).replace("%1", digits);
                }
                out << "</tr>";
            }
            out << "</table>"
                << "</td>";
        }
        out << "</tr>";
    }
    out << "</table>"
        << "</p>"
        << "</body></html>";
    return out;
}

QTextTable *innerTable(QTextDocument &doc, int index)
{
    for (QTextFrame *frame : doc.rootFrame()->childFrames()) {
        if (auto *outer = qobject_cast<QTextTable *>(frame)) {
            const QList<QTextFrame *> inner = outer->childFrames();
            return index < inner.size() ? qobject_cast<QTextTable *>(inner[index]) : nullptr;
        }
    }
    return nullptr;
}

QString cellText(QTextTable *table, int row, int column)
{
    QTextTableCell cell = table->cellAt(1 + row, column);
    QTextCursor c = cell.firstCursorPosition();
    c.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
    return c.selectedText();
}

// Rewrites chosen source texts of the window's context, as a translation
// would; counts every lookup made in that context.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (QByteArray(context) != "Darvo_bootloader")
            return QString();
        ++lookups;
        const QString s = QString::fromUtf8(source);
        if (s == "<td>0x%1</td>")
            return "<td>0X%1</td>";
        if (s == "<br>Withdraw: <br>0b%1")
            return "<br>Zurueck: %1<br>";
        return QString();
    }
    bool isEmpty() const override { return false; }
    mutable int lookups = 0;
};

} // namespace

class TestBallastPage : public QObject
{
    Q_OBJECT

private slots:
    void allZeroPage();
    void fieldCells_data();
    void fieldCells();
    void matchesFieldTable_data();
    void matchesFieldTable();
    void layoutIgnoresValues();
    void fragmentsAreTranslatedInWindowContext();
};

void TestBallastPage::allZeroPage()
{
    const BallastPage page = Bytes().page();
    const QString zeros(64, '0');
    QVERIFY(page.html.contains(
        "<br>Initialised: <br>0b" + zeros + "<br>Withdraw: <br>0b" + zeros + "<table"));
    QCOMPARE(page.html.count("<td>000</td>"), 4 * 64);
    QCOMPARE(page.html.count("<td>0x00</td>"), 4 * 64);
    QCOMPARE(page.html.count("<td>00</td>"), 64);
    QCOMPARE(page.html.count("<td>00000000</td>"), 2 * 64);
    QCOMPARE(page.values.size(), kelto::ballast::valueCount);

    // And as the browser reads it: every ballast cell of every table.
    QTextDocument doc;
    doc.setHtml(page.html);
    const QStringList expected = {
        "000", "000", "0x00", "00", "0x00", "0x00", "0x00", "000", "000", "00000000", "00000000"};
    for (int t = 0; t < expected.size(); ++t) {
        QTextTable *table = innerTable(doc, t);
        QVERIFY(table);
        for (int n = 0; n < 64; ++n)
            QCOMPARE(cellText(table, n / 8, n % 8), expected[t]);
    }
}

void TestBallastPage::fieldCells_data()
{
    QTest::addColumn<Setter>("set");
    QTest::addColumn<int>("table"); // -1, -2: the Initialised / Withdraw bitmap
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("text");

    QTest::newRow("initialised bit 0")
        << Setter([](Bytes &b) { b.put64(0, 1); }) << -1 << 0 << QString(63, '0') + "1";
    QTest::newRow("initialised bit 63") << Setter([](Bytes &b) { b.put64(0, uint64_t(1) << 63); })
                                        << -1 << 0 << "1" + QString(63, '0');
    QTest::newRow("withdraw pattern") << Setter([](Bytes &b) { b.put64(8, 0xA000000000000005ull); })
                                      << -2 << 0 << "1010" + QString(57, '0') + "101";
    QTest::newRow("start_time 2^24")
        << Setter([](Bytes &b) { b.put32(348, 16777216); }) << 9 << 0 << "16777216";
    QTest::newRow("start_time nine digits")
        << Setter([](Bytes &b) { b.put32(348, 123456789); }) << 9 << 0 << "123456789";
    QTest::newRow("start_time small")
        << Setter([](Bytes &b) { b.put32(348 + 4 * 5, 42); }) << 9 << 5 << "00000042";
    QTest::newRow("end_time largest")
        << Setter([](Bytes &b) { b.put32(604 + 4 * 63, 0xFFFFFFFFu); }) << 10 << 63 << "4294967295";
    QTest::newRow("short address of record 9")
        << Setter([](Bytes &b) { b.records[28 * 9 + 5] = 7; }) << 3 << 9 << "07";
    QTest::newRow("short address from 100")
        << Setter([](Bytes &b) { b.records[28 * 2 + 5] = 100; }) << 3 << 2 << "100";
    QTest::newRow("random address bytes in order") << Setter([](Bytes &b) {
        b.records[28 * 4 + 2] = 0x11;
        b.records[28 * 4 + 3] = 0x22;
        b.records[28 * 4 + 4] = 0xC3;
    }) << 4 << 4 << "0xc3";
    QTest::newRow("random address MM")
        << Setter([](Bytes &b) { b.records[28 * 4 + 3] = 0x22; }) << 5 << 4 << "0x22";
    QTest::newRow("random address LL")
        << Setter([](Bytes &b) { b.records[28 * 63 + 2] = 0x0F; }) << 6 << 63 << "0x0f";
    QTest::newRow("status lower-case hex")
        << Setter([](Bytes &b) { b.vrb[156 + 10] = 0xAB; }) << 2 << 10 << "0xab";
    QTest::newRow("dtr unsigned") << Setter([](Bytes &b) { b.vrb[24 + 63] = 0xFF; }) << 0 << 63
                                  << "255";
    QTest::newRow("level") << Setter([](Bytes &b) { b.vrb[88 + 8] = 9; }) << 1 << 8 << "009";
    QTest::newRow("start_lvl") << Setter([](Bytes &b) { b.vrb[220 + 1] = 77; }) << 7 << 1 << "077";
    QTest::newRow("end_lvl") << Setter([](Bytes &b) { b.vrb[284 + 62] = 128; }) << 8 << 62 << "128";
    // Bytes the host does not interpret change nothing on the page.
    QTest::newRow("gaps ignored") << Setter([](Bytes &b) {
        for (int i = 16; i < 24; ++i)
            b.vrb[i] = 0xEE;
        for (int i = 152; i < 156; ++i)
            b.vrb[i] = 0xEE;
        for (int i = 860; i < 864; ++i)
            b.vrb[i] = 0xEE;
        for (int r = 0; r < 64; ++r) {
            b.records[28 * r] = b.records[28 * r + 1] = 0xEE;
            for (int i = 6; i < 28; ++i)
                b.records[28 * r + i] = 0xEE;
        }
    }) << 0 << 0 << "000";
}

void TestBallastPage::fieldCells()
{
    QFETCH(Setter, set);
    QFETCH(int, table);
    QFETCH(int, n);
    QFETCH(QString, text);
    Bytes b;
    set(b);
    const BallastPage page = b.page();
    if (table < 0) {
        const QString label = table == -1 ? "<br>Initialised: <br>0b" : "<br>Withdraw: <br>0b";
        QVERIFY2(page.html.contains(label + text), qPrintable(text));
        return;
    }
    QTextDocument doc;
    doc.setHtml(page.html);
    QTextTable *inner = innerTable(doc, table);
    QVERIFY(inner);
    QCOMPARE(cellText(inner, n / 8, n % 8), text);
    if (QTest::currentDataTag() == QByteArray("gaps ignored"))
        QCOMPARE(page.html, Bytes().page().html);
}

void TestBallastPage::matchesFieldTable_data()
{
    QTest::addColumn<unsigned>("seed");
    QTest::newRow("zero") << 0u;
    for (unsigned seed : {1u, 2u, 77u, 4096u})
        QTest::newRow(qPrintable(QString("random %1").arg(seed))) << seed;
}

void TestBallastPage::matchesFieldTable()
{
    QFETCH(unsigned, seed);
    Bytes b;
    if (seed) {
        std::mt19937 rng(seed);
        for (auto &x : b.vrb)
            x = rng() & 0xFF;
        for (auto &x : b.records)
            x = rng() & 0xFF;
    }
    const BallastPage page = b.page();
    const QStringList fragments = expectedFragments(b);
    int at = 0;
    for (int i = 0; i < fragments.size(); ++i) {
        const QString &f = fragments[i];
        QVERIFY2(page.html.mid(at, f.size()) == f,
            qPrintable(QString("fragment %1: expected %2, page has %3")
                           .arg(i)
                           .arg(f, page.html.mid(at, f.size()))));
        at += f.size();
    }
    QCOMPARE(at, page.html.size());
}

void TestBallastPage::layoutIgnoresValues()
{
    Bytes a;
    Bytes b;
    b.vrb[24] = 1;
    b.put32(348, 123456789); // a longer cell text
    b.records[5] = 200;
    const BallastPage pa = a.page();
    const BallastPage pb = b.page();
    QVERIFY(pa.html != pb.html);
    QCOMPARE(pa.layout, pb.layout);
    QVERIFY(!pa.layout.contains("000"));
    QCOMPARE(pa.layout.count("%1"), kelto::ballast::valueCount);
    // The values in page order: bitmaps, then DTR ballast 0 on.
    QCOMPARE(pb.values.size(), kelto::ballast::valueCount);
    QCOMPARE(pb.values[2], QString("001"));
    QCOMPARE(pb.values[2 + 3 * 64], QString("200"));
    QCOMPARE(pb.values[2 + 9 * 64], QString("123456789"));
}

void TestBallastPage::fragmentsAreTranslatedInWindowContext()
{
    Bytes b;
    b.vrb[156] = 0x5A;
    b.put64(8, 3);
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    const BallastPage page = b.page();
    QCoreApplication::removeTranslator(&translator);

    // %1 is filled into the translated text, not translated after filling.
    QVERIFY(page.html.contains("<td>0X5a</td>"));
    QCOMPARE(page.html.count("<td>0X"), 4 * 64);
    QVERIFY(!page.html.contains("<td>0x"));
    QVERIFY(page.html.contains("<br>Zurueck: " + QString(62, '0') + "11<br>"));
    QVERIFY(page.layout.contains("<td>0X%1</td>"));
    // Every fragment kind goes through the window's context at least once.
    QVERIFY(translator.lookups >= 40);

    // Without the translator the built-in texts come back.
    QVERIFY(b.page().html.contains("<td>0x5a</td>"));
}

QTEST_MAIN(TestBallastPage)
#include "tst_ballastpage.moc"
