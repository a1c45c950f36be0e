// upgrade: the window's firmware change without the window. The same
// Upgrader runs in its own thread while this thread's event loop prints
// what it reports.
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "debugfilter.h"
#include "exitcode.h"
#include "inputfile.h"
#include "inspection.h"
#include "progressdisplay.h"
#include "upgradeall.h"
#include "upgradeoutcome.h"
#include "upgrader.h"
#include "upgraderelay.h"
#include "usbmirel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>

namespace kelto::cli {

namespace {

const char command[] = "upgrade";
constexpr int pageCount = 120;

QJsonObject record(const Inspection &file, const UpgradeOutcome &outcome, qint64 durationMs)
{
    QJsonObject o;
    o["file"] = file.path;
    if (file.accepted()) {
        o["checksum_a"] = hex32(file.storedChecksumA);
        o["checksum_b"] = hex32(file.storedChecksumB);
        o["checksums_match"] = file.checksumsMatch();
    }
    o["serial"] = outcome.unitSerial();
    o["usb_serial"] = outcome.usbSerial();
    o["bootloader_version"] = outcome.bootloaderVersion();
    o["mode"] = outcome.mode();
    o["success"] = outcome.success();
    o["step"] = stepName(outcome.step());
    o["last_line"] = outcome.lastLine();
    o["pages_written"] = outcome.pagesWritten();
    o["pages_verified"] = outcome.pagesVerified();
    o["pages_total"] = pageCount;
    o["duration_ms"] = durationMs;
    return o;
}

} // namespace

int upgrade(const QStringList &arguments, Console &console)
{
    CommandLine line(command, "upgrade [--json] [--force] [--serial SERIAL | --all] FILE.upg",
        "Writes the upgrade file into the converter exactly as the window's\n"
        "\"Firmware Change\" does: connect, restart into the bootloader when the\n"
        "application runs, write and verify the application pages and the external\n"
        "flash, start the new application. Its lines go to stdout with the progress\n"
        "(a bar on a terminal, plain percentages otherwise).\n\n"
        "Exit code 0 only when every step succeeded and was verified.\n\n"
        "Options:\n"
        "  --json    end with one JSON record of the run: serial, bootloader version,\n"
        "            file and checksums, outcome and the step that ended the run,\n"
        "            pages written and verified, duration\n"
        "  --force   upgrade even when the file's checksums do not match\n"
        "  --serial SERIAL\n"
        "            only the converter with this serial, followed across its\n"
        "            restarts; needed when more than one converter is present\n"
        "  --all     every converter present at the start, in parallel: one\n"
        "            progress line per unit on a terminal, one line per unit and\n"
        "            step in a log; with --json one record per unit, then a\n"
        "            summary. Exit code 0 only when every unit succeeded.\n");
    line.addFlag("json");
    line.addFlag("force");
    line.addFlag("all");
    addSerialOption(line);
    if (auto done = line.parse(arguments, 1, 1, console))
        return *done;
    const QString path = line.positional().at(0);
    if (line.isSet("all")) {
        if (line.isSet("serial"))
            return line.usageError(console, "--all and --serial exclude each other");
        return upgradeAll(path, line.isSet("json"), line.isSet("force"), console);
    }

    // A file whose checksums are wrong would leave the unit without a
    // startable application; refuse it before the device is touched. Files
    // the upgrade itself refuses are left to it, so that its lines tell why.
    const Inspection file = inspectFile(path);
    if (file.accepted() && !file.checksumsMatch() && !line.isSet("force")) {
        fail(command, QString("%1: checksum mismatch (use --force to write it anyway)").arg(path),
            console);
        return ExitFailed;
    }

    if (!singleConverterOrSerial(command, line, console))
        return ExitFailed;

    ProgressDisplay display(console.out, console.outIsTerminal);
    UpgradeOutcome outcome;
    DebugFilter::resetCounters();
    // Why the first connect failed, told in our own words (the run's line
    // is the window's).
    QString connectProblem;
    {
        USBMIREL device;
        if (auto done = applySerialOption(line, device, console))
            return *done;
        Upgrader upgrader(&device);
        QEventLoop loop;
        using Report = UpgradeRelay::Report;
        UpgradeRelay relay([&](const Report &r) {
            switch (r.kind) {
            case Report::Text:
                outcome.text(r.text);
                display.line(r.text);
                break;
            case Report::FirmwarePercent:
                outcome.percent(r.percent);
                display.progress("Firmware", r.percent);
                break;
            case Report::WritePercent:
                display.progress("External flash write", r.percent);
                break;
            case Report::ReadPercent:
                display.progress("External flash verify", r.percent);
                break;
            case Report::Finished:
                loop.quit();
                break;
            }
        });
        // These run in the Upgrader's thread and only queue the report; the
        // finish comes last, after every line of the run.
        const auto direct = Qt::DirectConnection;
        const auto percentAs = [&relay](Report::Kind kind) {
            return [&relay, kind](int p) { relay.post({kind, QString(), p}); };
        };
        const auto text = [&relay](const QString &t) { relay.post({Report::Text, t, 0}); };
        const auto finished = [&relay] { relay.post({Report::Finished, QString(), 0}); };
        QObject::connect(&upgrader, &Upgrader::sendText, &relay, text, direct);
        QObject::connect(
            &upgrader, &Upgrader::sendPercent, &relay, percentAs(Report::FirmwarePercent), direct);
        QObject::connect(&device, &USBMIREL::sendPercentExtFlashWrite, &relay,
            percentAs(Report::WritePercent), direct);
        QObject::connect(&device, &USBMIREL::sendPercentExtFlashRead, &relay,
            percentAs(Report::ReadPercent), direct);
        QObject::connect(&upgrader, &QThread::finished, &relay, finished, direct);

        QElapsedTimer clock;
        clock.start();
        upgrader.slotSetFileName(path);
        upgrader.start();
        loop.exec();
        upgrader.wait();
        outcome.finish(DebugFilter::pageReadErrors());
        display.close();
        if (outcome.step() == UpgradeOutcome::Step::Connect)
            connectProblem = UsbDevice::describe(device.lastConnectFailure());

        if (line.isSet("json"))
            console.out << QJsonDocument(record(file, outcome, clock.elapsed()))
                               .toJson(QJsonDocument::Compact)
                        << "\n";
    }
    console.out.flush();
    if (!outcome.success()) {
        const QString why = connectProblem.isEmpty()
            ? QString(outcome.lastLine()).replace('\n', ' ')
            : connectProblem;
        fail(command, QString("failed in step %1: %2").arg(stepName(outcome.step()), why), console);
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace kelto::cli
