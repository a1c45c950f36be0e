#include "ballastpage.h"

#include "ballastsnapshot.h"

#include <QCoreApplication>

#include <cstdint>

namespace {

using namespace kelto::ballast;

// The texts belong to the window, so a translation of the window covers them.
constexpr const char *context = "Darvo_bootloader";

#define KELTO_FRAGMENT(text) QT_TRANSLATE_NOOP("Darvo_bootloader", text)

enum class Source { VrbByte, VrbWord, RecordByte };

struct InnerTable
{
    const char *header;
    const char *cell;
    Source source;
    int offset;
    int width;
    int base;
};

// Page order; the outer table holds them four, three, two and two per row.
const InnerTable innerTables[tableCount] = {
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">DTR</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbByte, dtrOffset, 3, 10},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">LEVEL</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbByte, levelOffset, 3, 10},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">STATUS</td></tr>"),
        KELTO_FRAGMENT("<td>0x%1</td>"), Source::VrbByte, statusOffset, 2, 16},
    {KELTO_FRAGMENT(
         "<table style=\"text-align:left;\"><tr><td colspan=\"8\">SHORT ADDREES</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::RecordByte, shortAddressOffset, 2, 10},
    {KELTO_FRAGMENT(
         "<table style=\"text-align:left;\"><tr><td colspan=\"8\">random_address_HH</td></tr>"),
        KELTO_FRAGMENT("<td>0x%1</td>"), Source::RecordByte, randomAddressHHOffset, 2, 16},
    {KELTO_FRAGMENT(
         "<table style=\"text-align:left;\"><tr><td colspan=\"8\">random_address_MM</td></tr>"),
        KELTO_FRAGMENT("<td>0x%1</td>"), Source::RecordByte, randomAddressMMOffset, 2, 16},
    {KELTO_FRAGMENT(
         "<table style=\"text-align:left;\"><tr><td colspan=\"8\">random_address_LL</td></tr>"),
        KELTO_FRAGMENT("<td>0x%1</td>"), Source::RecordByte, randomAddressLLOffset, 2, 16},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">start_lvl</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbByte, startLvlOffset, 3, 10},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">end_lvl</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbByte, endLvlOffset, 3, 10},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">start_time</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbWord, startTimeOffset, 8, 10},
    {KELTO_FRAGMENT("<table style=\"text-align:left;\"><tr><td colspan=\"8\">end_time</td></tr>"),
        KELTO_FRAGMENT("<td>%1</td>"), Source::VrbWord, endTimeOffset, 8, 10},
};

// Outer table rows: the first inner table of each row and how many follow.
struct OuterRow
{
    int first;
    int count;
    bool wide;
};
const OuterRow outerRows[] = {{0, 4, false}, {4, 3, false}, {7, 2, false}, {9, 2, true}};

uint64_t le64(const unsigned char *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

uint32_t le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t fieldValue(const InnerTable &t, int n, const unsigned char *vrb, const unsigned char *recs)
{
    switch (t.source) {
    case Source::VrbByte:
        return vrb[t.offset + n];
    case Source::VrbWord:
        return le32(vrb + t.offset + 4 * n);
    case Source::RecordByte:
        return recs[recordSize * n + t.offset];
    }
    return 0;
}

class PageWriter
{
public:
    explicit PageWriter(BallastPage &page)
        : page(page)
    {
    }

    // A fragment without placeholder.
    void text(const char *fragment)
    {
        const QString translated = QCoreApplication::translate(context, fragment);
        page.html += translated;
        page.layout += translated;
    }

    // A fragment already translated, with its placeholder filled by value.
    void filled(const QString &translated, const QString &value)
    {
        page.html += translated.arg(value);
        page.layout += translated;
        page.values += value;
    }

private:
    BallastPage &page;
};

void writeInnerTable(
    PageWriter &out, const InnerTable &t, const unsigned char *vrb, const unsigned char *recs)
{
    out.text(t.header);
    // One lookup per table: the same source text translates the same way.
    const QString cell = QCoreApplication::translate(context, t.cell);
    for (int row = 0; row < 8; ++row) {
        out.text(KELTO_FRAGMENT("<tr>"));
        for (int column = 0; column < 8; ++column) {
            const int n = 8 * row + column;
            out.filled(cell,
                QStringLiteral("%1").arg(
                    fieldValue(t, n, vrb, recs), t.width, t.base, QLatin1Char('0')));
        }
        out.text(KELTO_FRAGMENT("</tr>"));
    }
    out.text(KELTO_FRAGMENT("</table>"));
}

} // namespace

BallastPage buildBallastPage(const unsigned char *vrb, const unsigned char *vrBalasts)
{
    BallastPage page;
    page.html.reserve(40000);
    page.layout.reserve(40000);
    page.values.reserve(valueCount);
    PageWriter out(page);

    out.text(KELTO_FRAGMENT("<html><head></head>"));
    out.text(KELTO_FRAGMENT(
        "<body style=\"font-family:courier;color:black;font-size:10px;text-align:left;\">"));
    out.text(KELTO_FRAGMENT("<p style=\"text-align:left;\">"));
    const auto bits
        = [](uint64_t v) { return QStringLiteral("%1").arg(v, 64, 2, QLatin1Char('0')); };
    out.filled(QCoreApplication::translate(context, KELTO_FRAGMENT("<br>Initialised: <br>0b%1")),
        bits(le64(vrb + initialisedOffset)));
    out.filled(QCoreApplication::translate(context, KELTO_FRAGMENT("<br>Withdraw: <br>0b%1")),
        bits(le64(vrb + withdrawOffset)));

    out.text(KELTO_FRAGMENT("<table style=\"text-align:center;\">"));
    for (const OuterRow &row : outerRows) {
        out.text(KELTO_FRAGMENT("<tr>"));
        for (int i = row.first; i < row.first + row.count; ++i) {
            if (row.wide)
                out.text(KELTO_FRAGMENT("<td colspan=\"2\">"));
            else
                out.text(KELTO_FRAGMENT("<td>"));
            writeInnerTable(out, innerTables[i], vrb, vrBalasts);
            out.text(KELTO_FRAGMENT("</td>"));
        }
        out.text(KELTO_FRAGMENT("</tr>"));
    }
    out.text(KELTO_FRAGMENT("</table>"));
    out.text(KELTO_FRAGMENT("</p>"));
    out.text(KELTO_FRAGMENT("</body></html>"));
    return page;
}

BallastPage buildNotLivePage(BallastSnapshot::Link why)
{
    using Link = BallastSnapshot::Link;
    const char *reason = nullptr;
    switch (why) {
    case Link::Unread:
    case Link::Live:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader", "The converter has not been read yet.");
        break;
    case Link::Gone:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader",
            "The converter does not answer: it is not on the USB bus (unplugged or without "
            "power). Values show again once it answers.");
        break;
    case Link::NotAccessible:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader",
            "The converter is on the USB bus but cannot be opened: permission denied. Install "
            "the udev rule 70-kelto.rules, then plug the converter in again.");
        break;
    case Link::InUse:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader",
            "The converter is in use by another program (often a second kelto or kelto-cli).");
        break;
    case Link::Bootloader:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader",
            "The converter runs its bootloader, which keeps no ballast data: a firmware change "
            "is running or did not complete. Values show again once its application runs.");
        break;
    case Link::NoAnswer:
        reason = QT_TRANSLATE_NOOP(
            "Darvo_bootloader", "The converter does not answer: the ballast request timed out.");
        break;
    case Link::Refused:
        reason = QT_TRANSLATE_NOOP("Darvo_bootloader",
            "The converter refused the ballast request or cut its reply short.");
        break;
    }
    BallastPage page;
    PageWriter out(page);
    out.text(KELTO_FRAGMENT("<html><head></head><body>"));
    out.text(KELTO_FRAGMENT("<p style=\"color:#b00000;\"><b>No live ballast values</b></p>"));
    page.html += QStringLiteral("<p>%1</p>").arg(QCoreApplication::translate(context, reason));
    page.layout = page.html;
    out.text(KELTO_FRAGMENT("</body></html>"));
    return page;
}

BallastPage buildBallastPage(const BallastSnapshot::Data &data)
{
    if (data.link != BallastSnapshot::Link::Live)
        return buildNotLivePage(data.link);
    return buildBallastPage(data.vrb.data(), data.vrBalasts.data());
}
