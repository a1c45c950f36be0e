// upgrade: the window's firmware change without the window. The same
// Upgrader runs in its own thread while this thread's event loop prints
// what it reports; the result and the record come from its outcome.
#include "commandline.h"
#include "commands.h"
#include "converters.h"
#include "exitcode.h"
#include "historyoptions.h"
#include "inputfile.h"
#include "inspection.h"
#include "interruption.h"
#include "outcomerecord.h"
#include "progressdisplay.h"
#include "upgradeall.h"
#include "upgradeoutcome.h"
#include "upgrader.h"
#include "upgraderelay.h"
#include "upgraderun.h"
#include "usbmirel.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>

namespace kelto::cli {

namespace {

const char command[] = "upgrade";

using kelto::upgrade::Outcome;

QJsonObject record(const Inspection &file, const Outcome &outcome, int signal, qint64 durationMs,
    const QString &port)
{
    QJsonObject o;
    o["file"] = file.path;
    o["port"] = port;
    if (file.accepted()) {
        o["checksum_a"] = hex32(file.storedChecksumA);
        o["checksum_b"] = hex32(file.storedChecksumB);
        o["checksums_match"] = file.checksumsMatch();
    }
    const QJsonObject fields = kelto::upgrade::outcomeRecord(
        outcome, signal != 0 ? QString(Interruption::name(signal)) : QString());
    for (auto it = fields.begin(); it != fields.end(); ++it)
        o[it.key()] = it.value();
    o["duration_ms"] = durationMs;
    return o;
}

// The run as far as it went: the history's entry completed, the record, the
// message and the exit code.
int finish(const Inspection &file, const Outcome &outcome, int signal, bool json,
    const QElapsedTimer &clock, Console &console, const QString &port = QString(),
    kelto::history::UpgradeRun *history = nullptr)
{
    QJsonObject o = record(file, outcome, signal, clock.elapsed(), port);
    if (history) {
        if (history->recording()
            && !history->finish(o, outcome.success && signal == 0, outcome.unitSerial()))
            fail(command, history->problem(), console);
        if (!history->problem().isEmpty())
            o["history_problem"] = history->problem();
    }
    if (json) {
        console.out << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
        keepRecordIfStationGone(o);
    }
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

// What the entry knows before the run: the file, the unit asked for and
// the USB port it is on.
kelto::history::UpgradeStart historyStart(
    const CommandLine &line, const QString &path, const Inspection &file, const QString &port)
{
    kelto::history::UpgradeStart start;
    start.file = line.isSet("file-name") ? line.value("file-name") : path;
    // Of the bytes the run takes: a pipe cannot be read a second time.
    start.fileSha256 = QString::fromLatin1(file.sha256.toHex());
    start.serial = line.value("serial").left(9);
    start.usbPort = port;
    return start;
}

// upgrade --all --require-history: the store is tried once before any unit
// starts.
std::optional<int> unitsRefused(const CommandLine &line, Console &console)
{
    QString error;
    const auto where = kelto::history::parseLocation(historyLocation(line), &error);
    if (where) {
        const kelto::history::Store store(*where);
        if (store.isOpen())
            return std::nullopt;
        error = store.error();
    }
    fail(command, error + "; refused (--require-history), no converter was touched", console);
    return int(ExitFailed);
}

} // namespace

int upgrade(const QStringList &arguments, Console &console)
{
    CommandLine line(command,
        "upgrade [--json] [--force] [--skip-unchanged] [--serial SERIAL] [--port PATH] [--all] "
        "[--require-history] [--history PATH|URL] FILE.upg",
        "Writes the upgrade file into the converter as the window's \"Firmware\n"
        "Change\" does: connect, restart into the bootloader when the application\n"
        "runs, write and verify the application pages and the external flash, start\n"
        "the new application. Its lines go to stdout with the progress (a bar on a\n"
        "terminal, plain percentages otherwise).\n\n"
        "Exit code 0 only when every step succeeded and was verified and the\n"
        "converter came back running its application. SIGINT, SIGTERM and SIGHUP\n"
        "stop the run after the transfer in flight (exit code 130, 143, 129); the\n"
        "converter is then left in its bootloader once writing has begun.\n\n"
        "FILE.upg is read once, so it may be a pipe (/dev/stdin, <(cat f.upg)).\n\n"
        "Options:\n"
        "  --json    end with one JSON record of the run: serial, bootloader version,\n"
        "            file and checksums, outcome, the step that ended the run and the\n"
        "            converter's state, pages written and verified, duration\n"
        "  --force   upgrade even when inspect has findings about the file (checksums\n"
        "            that do not match, a foreign brand code, bytes after the image,\n"
        "            an application area without data, data where an upgrade never\n"
        "            writes)\n"
        "  --skip-unchanged\n"
        "            read the converter's pages and external flash first and write\n"
        "            only what differs from the file; when nothing differs nothing\n"
        "            is written and a running application keeps running\n"
        "  --serial SERIAL\n"
        "            only the converter with this serial (any case); with more than\n"
        "            one converter present, this or --port is needed\n"
        "  --port PATH\n"
        "            only the converter at this USB port (see list); a serial that\n"
        "            several converters report needs it. The run follows the unit's\n"
        "            serial and port across its restarts; no other unit is written\n"
        "            or taken for it\n"
        "  --all     every converter present at the start, in parallel: one\n"
        "            progress line per unit on a terminal, one line per unit and\n"
        "            step in a log; with --json one record per unit, then a\n"
        "            summary (always, also when no unit was started). Each unit is\n"
        "            addressed by its port; serials that several units report are\n"
        "            named (duplicate_serials). Exit code 0 only when every unit\n"
        "            succeeded.\n"
        "  --require-history\n"
        "            refuse (exit code 1, no converter touched) when the history\n"
        "            cannot be written; without it the run goes on and says so\n"
            + historyHelp(12));
    line.addFlag("json");
    line.addFlag("force");
    line.addFlag("all");
    line.addFlag("skip-unchanged");
    addUnitOptions(line);
    addHistoryOptions(line, true);
    // upgrade --all names the file it was given to its units' history.
    line.addValueOption("file-name", "NAME");
    if (auto done = line.parse(arguments, 1, 1, console))
        return *done;
    const QString path = line.positional().at(0);
    if (line.isSet("all")) {
        if (line.isSet("serial") || line.isSet("port"))
            return line.usageError(console, "--all excludes --serial and --port");
        // Each unit writes its own entry to the same store.
        QStringList unitOptions {"--history", historyLocation(line)};
        if (line.isSet("require-history")) {
            if (auto refused = unitsRefused(line, console))
                return *refused;
            unitOptions << "--require-history";
        }
        unitOptions << "--file-name" << path;
        if (line.isSet("skip-unchanged"))
            unitOptions << "--skip-unchanged";
        return upgradeAll(path, line.isSet("json"), line.isSet("force"), unitOptions, console);
    }
    const bool json = line.isSet("json");
    QElapsedTimer clock;
    clock.start();

    // The file is read once, here, and the Upgrader takes these bytes: a
    // pipe cannot be read twice. A file the unit would regret (one whose
    // checksums are wrong leaves it without a startable application) is
    // refused before the bus is even looked at; the Upgrader would refuse
    // it as well. Files the upgrade itself refuses are left to it, so that
    // its lines tell why.
    const Inspection file = inspectFile(path);
    if (file.accepted() && !file.findings.isEmpty() && !line.isSet("force")) {
        Outcome refused;
        refused.reason
            = QString("%1: %2 (use --force to write it anyway)").arg(path, file.findingsText());
        return finish(file, refused, 0, json, clock, console);
    }

    ProgressDisplay display(console.out, console.outIsTerminal);
    Outcome outcome;
    int signal = 0;
    std::optional<kelto::history::UpgradeRun> history;
    // Caught from here until the record is out: a signal after the run's
    // last stop point, or before its start, must not cost the record.
    Interruption interruption;
    QString port; // where the run was tied to
    {
        USBMIREL device;
        if (auto done = applyUnitOptions(command, line, device, console, true))
            return *done;
        port = device.port();
        // The run's entry, before its first request reaches the converter.
        history.emplace(historyLocation(line), "kelto-cli " KELTO_VERSION,
            historyStart(line, path, file, port));
        if (!history->recording()) {
            if (line.isSet("require-history")) {
                Outcome refused;
                refused.reason = history->problem() + " (--require-history)";
                return finish(file, refused, 0, json, clock, console, port, &*history);
            }
            warnWithoutHistory(command, history->problem(), console);
        }
        Upgrader upgrader(&device);
        Upgrader::Options options;
        options.confirmStart = true;
        options.mismatchDumps = console.trace;
        options.refuseFindings = !line.isSet("force");
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

        upgrader.setFile(file);
        interruption.attach(&upgrader);
        upgrader.start();
        loop.exec();
        upgrader.wait();
        interruption.attach(nullptr);
        outcome = upgrader.outcome();
        signal = outcome.interrupted ? Interruption::signal() : 0;
        display.close();
    }
    const int code = finish(file, outcome, signal, json, clock, console, port, &*history);
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
