// list: the converters on the bus, for a station that has several.
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "exitcode.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kelto::cli {

int list(const QStringList &arguments, Console &console)
{
    CommandLine line("list", "list [--json]",
        "Lists every converter on the bus, one per line: its serial, where it is\n"
        "(its USB port path, such as 1-1.2, which --port takes, then bus and device\n"
        "number), its mode (application or bootloader) and its bootloader version.\n"
        "Converters that are present but cannot be used are listed with the reason\n"
        "(not accessible: permission denied; in use by another program).\n\n"
        "Options:\n"
        "  --json   one JSON record: {\"converters\": [...]}\n");
    line.addFlag("json");
    if (auto done = line.parse(arguments, 0, 0, console))
        return *done;
    const QList<Converter> all = findConverters(true);
    if (line.isSet("json")) {
        QJsonArray records;
        for (const Converter &c : all)
            records.append(c.json());
        console.out
            << QJsonDocument(QJsonObject {{"converters", records}}).toJson(QJsonDocument::Compact)
            << "\n";
    } else {
        for (const Converter &c : all)
            console.out << c.text() << "\n";
        if (all.isEmpty())
            console.out << "no converter found\n";
    }
    console.out.flush();
    return ExitOk;
}

} // namespace kelto::cli
