// inspect: what an upgrade file holds and whether the upgrade would take it.
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"
#include "flashimage.h"
#include "inputfile.h"
#include "inspection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kelto::cli {

namespace {

const char command[] = "inspect";

QString verdict(bool good)
{
    return good ? "ok" : "MISMATCH";
}

void printText(const Inspection &f, QTextStream &out)
{
    if (f.sizeUnknown)
        out << "file:         " << f.path << " (more than " << upgradefile::fileSize << " bytes)\n";
    else
        out << "file:         " << f.path << " (" << f.fileSize << " bytes)\n";
    out << "header:       \"" << f.header << "\"\n";
    out << "version:      \"" << f.version << "\"\n";
    if (f.imageLength >= 0)
        out << "image length: " << f.imageLength << " bytes\n";
    if (!f.accepted()) {
        out << "refused:      " << f.refusal() << "\n";
        return;
    }
    out << "brand code:   " << f.brand
        << (f.brand == flash::acceptedBrand ? "" : " (not a brand this tool builds for)") << "\n";
    out << "checksum A:   stored " << hex32(f.storedChecksumA) << ", computed "
        << hex32(f.computedChecksumA) << " " << verdict(f.storedChecksumA == f.computedChecksumA)
        << "\n";
    out << "checksum B:   stored " << hex32(f.storedChecksumB) << ", computed "
        << hex32(f.computedChecksumB) << " " << verdict(f.storedChecksumB == f.computedChecksumB)
        << "\n";
    out << "sections holding data:\n";
    for (const Inspection::Section &s : f.sections) {
        if (s.dataSize == 0)
            continue;
        out << "  " << s.name.leftJustified(16) << hex32(s.address) << ": " << s.dataSize << " of "
            << s.size << " bytes" << (s.written ? "" : " (not written by an upgrade)") << "\n";
    }
    for (const Inspection::Finding &finding : f.findings)
        out << "finding:      " << finding.text << "\n";
}

QJsonObject toJson(const Inspection &f)
{
    QJsonObject o;
    o["file"] = f.path;
    o["file_size"] = f.fileSize;
    o["header"] = f.header;
    o["version"] = f.version;
    o["image_length"] = f.imageLength;
    o["accepted"] = f.accepted();
    if (!f.accepted()) {
        o["refused"] = f.refusal();
        return o;
    }
    o["brand"] = int(f.brand);
    o["checksum_a"] = QJsonObject {{"stored", hex32(f.storedChecksumA)},
        {"computed", hex32(f.computedChecksumA)},
        {"match", f.storedChecksumA == f.computedChecksumA}};
    o["checksum_b"] = QJsonObject {{"stored", hex32(f.storedChecksumB)},
        {"computed", hex32(f.computedChecksumB)},
        {"match", f.storedChecksumB == f.computedChecksumB}};
    QJsonArray sections;
    for (const Inspection::Section &s : f.sections) {
        if (s.dataSize == 0)
            continue;
        sections.append(QJsonObject {{"name", s.name}, {"address", hex32(s.address)},
            {"size", qint64(s.size)}, {"data_size", qint64(s.dataSize)}, {"written", s.written}});
    }
    o["sections"] = sections;
    QJsonArray findings;
    for (const Inspection::Finding &finding : f.findings)
        findings.append(QJsonObject {{"code", finding.code}, {"text", finding.text}});
    o["findings"] = findings;
    return o;
}

} // namespace

int inspect(const QStringList &arguments, Console &console)
{
    CommandLine line(command, "inspect [--json] FILE.upg",
        "Shows an upgrade file's header, version, image length and brand code,\n"
        "recomputes checksums A and B against the stored ones and lists the sizes\n"
        "of the sections that hold data.\n\n"
        "Exit code 1 for a file the upgrade would refuse, and for one it would take\n"
        "but regret, each such finding listed: checksums that do not match, a brand\n"
        "code other than 0, bytes after the image, an application area without data,\n"
        "data in an area an upgrade never writes (the bootloader area, the unused\n"
        "area after the external flash section).\n\n"
        "Options:\n"
        "  --json   one JSON record instead of the text\n");
    line.addFlag("json");
    if (auto done = line.parse(arguments, 1, 1, console))
        return *done;
    const QString path = line.positional().at(0);
    const Inspection f = inspectFile(path);
    if (!f.opened) {
        const QString reason = f.openError;
        // A script reading records gets one for every file it asked about.
        if (line.isSet("json")) {
            const QJsonObject o {{"file", path}, {"accepted", false}, {"refused", reason}};
            console.out << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
            console.out.flush();
        }
        fail(command, reason, console);
        return ExitFailed;
    }
    if (line.isSet("json"))
        console.out << QJsonDocument(toJson(f)).toJson(QJsonDocument::Compact) << "\n";
    else
        printText(f, console.out);
    console.out.flush();

    if (!f.accepted()) {
        fail(command, QString("%1: %2").arg(path, f.refusal()), console);
        return ExitFailed;
    }
    for (const Inspection::Finding &finding : f.findings)
        fail(command, QString("%1: %2").arg(path, finding.text), console);
    return f.findings.isEmpty() ? ExitOk : ExitFailed;
}

} // namespace kelto::cli
