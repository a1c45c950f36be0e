// upgrade: the window's firmware change without the window. The same
// Upgrader runs in its own thread while this thread's event loop prints
// what it reports; the result and the record come from its outcome.
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "exitcode.h"
#include "inputfile.h"
#include "inspection.h"
#include "interruption.h"
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

using kelto::upgrade::Outcome;

QJsonObject record(const Inspection &file, const Outcome &outcome, int signal, qint64 durationMs)
{
    QJsonObject o;
    o["file"] = file.path;
    if (file.accepted()) {
        o["checksum_a"] = hex32(file.storedChecksumA);
        o["checksum_b"] = hex32(file.storedChecksumB);
        o["checksums_match"] = file.checksumsMatch();
    }
    o["serial"] = outcome.unitSerial();
    o["usb_serial"] = outcome.usbSerial;
    o["bootloader_version"] = outcome.bootloaderVersion;
    o["mode"] = outcome.mode;
    o["success"] = outcome.success;
    o["step"] = kelto::upgrade::stepName(outcome.step);
    o["last_line"] = outcome.lastLine;
    o["reason"] = outcome.reason;
    o["converter"] = kelto::upgrade::stateName(outcome.converter);
    o["interrupted"] = signal != 0 ? QJsonValue(Interruption::name(signal)) : QJsonValue(false);
    o["pages_written"] = outcome.pagesWritten;
    o["pages_verified"] = outcome.pagesVerified;
    o["pages_total"] = kelto::upgrade::pageCount;
    o["pages_skipped"] = outcome.pagesSkipped;
    o["chunks_written"] = outcome.chunksWritten;
    o["chunks_skipped"] = outcome.chunksSkipped;
    if (outcome.external.found) {
        const auto &m = outcome.external;
        o["external_mismatch"]
            = QJsonObject {{"first_offset", hex32(m.firstOffset)}, {"differing_bytes", m.differing},
                {"written", QString("0x%1").arg(m.expected, 2, 16, QChar('0'))},
                {"read", QString("0x%1").arg(m.actual, 2, 16, QChar('0'))}};
    }
    o["duration_ms"] = durationMs;
    return o;
}

// The run as far as it went: the record, the message and the exit code.
int finish(const Inspection &file, const Outcome &outcome, int signal, bool json,
    const QElapsedTimer &clock, Console &console)
{
    if (json)
        console.out << QJsonDocument(record(file, outcome, signal, clock.elapsed()))
                           .toJson(QJsonDocument::Compact)
                    << "\n";
    console.out.flush();
    const QString advice = kelto::upgrade::stateAdvice(outcome.converter);
    if (signal != 0) {
        fail(command,
            QString("stopped by %1 in step %2: %3")
                .arg(Interruption::name(signal), kelto::upgrade::stepName(outcome.step), advice),
            console);
        return 128 + signal;
    }
    if (!outcome.success) {
        fail(command,
            QString("failed in step %1: %2; %3")
                .arg(kelto::upgrade::stepName(outcome.step), outcome.reason, advice),
            console);
        return ExitFailed;
    }
    return ExitOk;
}

} // namespace

int upgrade(const QStringList &arguments, Console &console)
{
    CommandLine line(command,
        "upgrade [--json] [--force] [--skip-unchanged] [--serial SERIAL | --all] FILE.upg",
        "Writes the upgrade file into the converter as the window's \"Firmware\n"
        "Change\" does: connect, restart into the bootloader when the application\n"
        "runs, write and verify the application pages and the external flash, start\n"
        "the new application. Its lines go to stdout with the progress (a bar on a\n"
        "terminal, plain percentages otherwise).\n\n"
        "Exit code 0 only when every step succeeded and was verified and the\n"
        "converter came back running its application. SIGINT, SIGTERM and SIGHUP\n"
        "stop the run after the transfer in flight (exit code 130, 143, 129); the\n"
        "converter is then left in its bootloader once writing has begun.\n\n"
        "Options:\n"
        "  --json    end with one JSON record of the run: serial, bootloader version,\n"
        "            file and checksums, outcome, the step that ended the run and the\n"
        "            converter's state, pages written and verified, duration\n"
        "  --force   upgrade even when inspect has findings about the file (checksums\n"
        "            that do not match, a foreign brand code, bytes after the image,\n"
        "            an application area without data)\n"
        "  --skip-unchanged\n"
        "            read the converter's pages and external flash first and write\n"
        "            only what differs from the file; when nothing differs nothing\n"
        "            is written and a running application keeps running\n"
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
    line.addFlag("skip-unchanged");
    addSerialOption(line);
    if (auto done = line.parse(arguments, 1, 1, console))
        return *done;
    const QString path = line.positional().at(0);
    if (line.isSet("all")) {
        if (line.isSet("serial"))
            return line.usageError(console, "--all and --serial exclude each other");
        return upgradeAll(
            path, line.isSet("json"), line.isSet("force"), line.isSet("skip-unchanged"), console);
    }
    const bool json = line.isSet("json");
    QElapsedTimer clock;
    clock.start();

    // A file the unit would regret (one whose checksums are wrong leaves it
    // without a startable application) is refused before the device is
    // touched. Files the upgrade itself refuses are left to it, so that its
    // lines tell why.
    const Inspection file = inspectFile(path);
    if (file.accepted() && !file.findings.isEmpty() && !line.isSet("force")) {
        Outcome refused;
        QStringList texts;
        for (const Inspection::Finding &f : file.findings)
            texts << f.text;
        refused.reason
            = QString("%1: %2 (use --force to write it anyway)").arg(path, texts.join("; "));
        return finish(file, refused, 0, json, clock, console);
    }

    if (!singleConverterOrSerial(command, line, console))
        return ExitFailed;

    ProgressDisplay display(console.out, console.outIsTerminal);
    Outcome outcome;
    int signal = 0;
    // Caught from here until the record is out: a signal after the run's
    // last stop point, or before its start, must not cost the record.
    Interruption interruption;
    {
        USBMIREL device;
        if (auto done = applySerialOption(line, device, console))
            return *done;
        Upgrader upgrader(&device);
        Upgrader::Options options;
        options.confirmStart = true;
        options.mismatchDumps = console.trace;
        // The restarts end when the converter is seen back, not after the
        // window's fixed sleeps.
        options.waits = kelto::upgrade::WaitPolicy::Kind::Polled;
        options.skipUnchanged = line.isSet("skip-unchanged");
        upgrader.setOptions(options);
        QEventLoop loop;
        using Report = UpgradeRelay::Report;
        UpgradeRelay relay([&](const Report &r) {
            switch (r.kind) {
            case Report::Text:
                display.line(r.text);
                break;
            case Report::FirmwarePercent:
                display.progress("Firmware", r.percent);
                break;
            case Report::WritePercent:
                display.progress("External flash write", r.percent);
                break;
            case Report::ReadPercent:
                display.progress("External flash verify", r.percent);
                break;
            case Report::ComparePercent:
                display.progress("Reading the converter", r.percent);
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
        // The same read serves the comparison before the writes and the
        // verification after them; the run's step tells which.
        QObject::connect(
            &device, &USBMIREL::sendPercentExtFlashRead, &relay,
            [&relay, &upgrader](int p) {
                const bool comparing = upgrader.outcome().step == kelto::upgrade::Step::Compare;
                relay.post(
                    {comparing ? Report::ComparePercent : Report::ReadPercent, QString(), p});
            },
            direct);
        QObject::connect(&upgrader, &QThread::finished, &relay, finished, direct);

        upgrader.slotSetFileName(path);
        interruption.attach(&upgrader);
        upgrader.start();
        loop.exec();
        upgrader.wait();
        interruption.attach(nullptr);
        outcome = upgrader.outcome();
        signal = outcome.interrupted ? Interruption::signal() : 0;
        display.close();
    }
    const int code = finish(file, outcome, signal, json, clock, console);
    // One that came when the run had ended changed nothing the record says.
    if (signal == 0 && Interruption::signal() != 0) {
        fail(command,
            QString("%1 came after the run had ended; its record stands")
                .arg(Interruption::name(Interruption::signal())),
            console);
        return 128 + Interruption::signal();
    }
    return code;
}

} // namespace kelto::cli
