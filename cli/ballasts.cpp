// ballasts: one reading of the converter's ballast data, as the ballast
// tab shows it (text) or field by field (JSON).
#include "ballastpage.h"
#include "ballastsnapshot.h"
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "exitcode.h"
#include "flashimage.h"
#include "inputfile.h"
#include "serviceconnection.h"
#include "usbmirel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace kelto::cli {

namespace {

const char command[] = "ballasts";

using Vrb = std::array<unsigned char, ballast::vrbSize>;
using Records = std::array<unsigned char, ballast::vrBalastsSize>;

// The page's inner tables in its order; hexadecimal cells carry "0x".
struct Table
{
    const char *name;
    bool hex;
};
const Table tables[ballast::tableCount]
    = {{"DTR", false}, {"LEVEL", false}, {"STATUS", true}, {"SHORT ADDREES", false},
        {"random_address_HH", true}, {"random_address_MM", true}, {"random_address_LL", true},
        {"start_lvl", false}, {"end_lvl", false}, {"start_time", false}, {"end_time", false}};

// The same cell texts as the ballast tab, eight ballasts to a row.
void printText(const Vrb &vrb, const Records &records, QTextStream &out)
{
    const BallastPage page = buildBallastPage(vrb.data(), records.data());
    if (page.values.size() != ballast::valueCount)
        return;
    out << "Initialised: 0b" << page.values.at(0) << "\n";
    out << "Withdraw:    0b" << page.values.at(1) << "\n";
    for (int t = 0; t < ballast::tableCount; ++t) {
        out << "\n" << tables[t].name << "\n";
        for (int row = 0; row < 8; ++row) {
            QStringList cells;
            for (int column = 0; column < 8; ++column) {
                const int n = 8 * row + column;
                const QString &v
                    = page.values.at(ballast::bitmapCount + t * ballast::cellsPerTable + n);
                cells << (tables[t].hex ? "0x" + v : v);
            }
            out << "  " << cells.join(' ') << "\n";
        }
    }
}

uint64_t le64(const unsigned char *p)
{
    return uint64_t(flash::loadLe32(p)) | uint64_t(flash::loadLe32(p + 4)) << 32;
}

QJsonObject toJson(const Vrb &vrb, const Records &records)
{
    using namespace ballast;
    const unsigned char *v = vrb.data();
    QJsonArray list;
    for (int n = 0; n < count; ++n) {
        const unsigned char *r = records.data() + recordSize * n;
        const uint32_t random = uint32_t(r[randomAddressHHOffset]) << 16
            | uint32_t(r[randomAddressMMOffset]) << 8 | r[randomAddressLLOffset];
        list.append(QJsonObject {{"index", n}, {"dtr", v[dtrOffset + n]},
            {"level", v[levelOffset + n]}, {"status", v[statusOffset + n]},
            {"short_address", r[shortAddressOffset]}, {"random_address", qint64(random)},
            {"start_lvl", v[startLvlOffset + n]}, {"end_lvl", v[endLvlOffset + n]},
            {"start_time", qint64(flash::loadLe32(v + startTimeOffset + 4 * n))},
            {"end_time", qint64(flash::loadLe32(v + endTimeOffset + 4 * n))}});
    }
    // 64-bit maps as hexadecimal text: JSON numbers lose bits above 2^53.
    const auto map = [](uint64_t m) { return QString("0x%1").arg(m, 16, 16, QChar('0')); };
    return QJsonObject {{"initialised", map(le64(v + initialisedOffset))},
        {"withdraw", map(le64(v + withdrawOffset))}, {"ballasts", list}};
}

} // namespace

int ballasts(const QStringList &arguments, Console &console)
{
    CommandLine line(command, "ballasts [--json] [--serial SERIAL | --port PATH]",
        "Reads the converter's ballast data once (its summary block and the 64\n"
        "ballast records) and prints the Initialised and Withdraw bitmaps and the\n"
        "tables of the ballast tab, eight ballasts to a row.\n\n"
        "Options:\n"
        "  --json            one JSON record: the bitmaps and one object per ballast\n"
        "  --serial SERIAL   only the converter with this serial (any case)\n"
        "  --port PATH       only the converter at this USB port (see list)\n");
    line.addFlag("json");
    addUnitOptions(line);
    if (auto done = line.parse(arguments, 0, 0, console))
        return *done;

    USBMIREL device;
    if (auto done = applyUnitOptions(command, line, device, console))
        return *done;
    if (!connectDevice(command, device, console, true))
        return ExitFailed;
    Vrb vrb {};
    Records records {};
    // Half a reading would mix this moment's data with zeros.
    const bool ok = device.GetVrb(vrb.data()) == 0
        && device.GetVrBalasts(records.data(), uint32_t(ballast::count)) == 0;
    device.disconnect();
    if (!ok) {
        fail(command, "Error", console);
        return ExitFailed;
    }
    if (line.isSet("json"))
        console.out << QJsonDocument(toJson(vrb, records)).toJson(QJsonDocument::Compact) << "\n";
    else
        printText(vrb, records, console.out);
    console.out.flush();
    return ExitOk;
}

} // namespace kelto::cli
