#include "upgradeall.h"

#include "boundedread.h"
#include "converters.h"
#include "exitcode.h"
#include "inputfile.h"
#include "inspection.h"
#include "interruption.h"
#include "outputfile.h"
#include "upgradeinspection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace kelto::cli {

namespace {

const char command[] = "upgrade";
// A unit's process that prints nothing for this long is stuck (the longest
// quiet stretch of a sound run is the restart, a few seconds): it is ended
// and the unit reported as failed, so that it cannot hold up the station.
constexpr int silenceLimitMs = 120000;
constexpr int graceMs = 10000;
constexpr int redrawMs = 200;

struct Unit
{
    Converter converter;
    std::unique_ptr<QProcess> process;
    QString lastLine; // the last text line of its run
    QString step; // the step its progress was last seen in
    QByteArray outPending;
    QByteArray errPending;
    QJsonObject record;
    QString phase;
    int percent = -1;
    QString problem; // why the unit failed when its process could not tell
    bool finished = false;
    bool stopAsked = false;
    long pid = 0; // while it runs
    QElapsedTimer lastHeard;
};

// The steps with a progress of their own, as the record names them.
QString stepOfPhase(const QString &phase)
{
    if (phase == QLatin1String("Firmware"))
        return QStringLiteral("firmware");
    if (phase == QLatin1String("External flash write"))
        return QStringLiteral("external-write");
    if (phase == QLatin1String("Reading the converter"))
        return QStringLiteral("compare");
    return QStringLiteral("external-verify");
}

// The record of a unit whose process gave none: not started, killed, or
// not usable at all.
QJsonObject failureRecord(const Unit &u, const QString &path)
{
    QJsonObject o;
    o["file"] = path;
    o["serial"] = u.converter.serial;
    o["usb_serial"] = u.converter.usbSerial;
    o["mode"] = u.converter.mode;
    o["success"] = false;
    // Where its progress was last seen; "connect" when it never got going.
    o["step"] = u.step.isEmpty() ? QStringLiteral("connect") : u.step;
    o["last_line"] = u.lastLine;
    o["reason"] = u.problem;
    return o;
}

QString statusText(const Unit &u)
{
    QString s = u.converter.serial.leftJustified(10) + "  ";
    if (u.finished) {
        if (u.record.value("success").toBool())
            return s + "done";
        // The run's own reason where it gave one, else its last line.
        QString why = u.record.value("reason").toString();
        if (why.isEmpty())
            why = u.record.value("last_line").toString().replace('\n', ' ');
        return s + QString("FAILED in step %1: %2").arg(u.record.value("step").toString(), why);
    }
    if (u.percent >= 0)
        return s + QString("%1 %2%").arg(u.phase).arg(u.percent);
    return s + QString(u.lastLine).replace('\n', ' ').left(60);
}

// The station's last record: also when no unit was started, so that a log
// the runs are appended to gets an entry for every run.
void printSummary(Console &console, QJsonObject summary, const QString &path, qint64 durationMs)
{
    summary["file"] = path;
    summary["duration_ms"] = durationMs;
    for (const char *key : {"units", "succeeded"}) {
        if (!summary.contains(key))
            summary[key] = 0;
    }
    for (const char *key : {"failed", "duplicate_serials"}) {
        if (!summary.contains(key))
            summary[key] = QJsonArray();
    }
    if (!summary.contains("success"))
        summary["success"] = false;
    if (!summary.contains("interrupted"))
        summary["interrupted"] = false;
    console.out << QJsonDocument(QJsonObject {{"summary", summary}}).toJson(QJsonDocument::Compact)
                << "\n";
    console.out.flush();
}

// How a unit finds its station's output: "PID:FD:FILE".
const char stationVariable[] = "KELTO_STATION";

} // namespace

bool isStationUnit()
{
    return qEnvironmentVariableIsSet(stationVariable);
}

void keepRecordIfStationGone(QJsonObject record)
{
#ifdef Q_OS_UNIX
    const QString station = qEnvironmentVariable(stationVariable);
    const QStringList parts = station.split(':');
    if (parts.size() < 3)
        return;
    bool pidOk = false;
    bool fdOk = false;
    const long pid = parts.at(0).toLong(&pidOk);
    const int fd = parts.at(1).toInt(&fdOk);
    if (!pidOk || !fdOk || fd < 0 || long(::getppid()) == pid)
        return;
    record["file"] = station.section(':', 2);
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // One write: appended whole, beside the other units' lines.
    if (::write(fd, line.constData(), size_t(line.size())) != line.size())
        return;
#else
    Q_UNUSED(record);
#endif
}

int upgradeAll(
    const QString &path, bool json, bool force, const QStringList &unitOptions, Console &console)
{
    QElapsedTimer clock;
    clock.start();
    // A station that starts no unit says why, in its record too.
    const auto refuse = [&](const QString &message) {
        fail(command, message, console);
        if (json)
            printSummary(console, QJsonObject {{"reason", message}}, path, clock.elapsed());
        return int(ExitFailed);
    };

    // The one reading of the file (at most one byte more than an upgrade
    // file holds), checked before anything is copied; every unit gets these
    // bytes, whatever happens to the file during the run.
    QByteArray bytes;
    const input::Read read = input::readAll(path, upgradefile::fileSize, bytes);
    if (!read.ok())
        return refuse(read.error);
    const Inspection file = upgradefile::inspect(path, bytes, read.size);
    if (!file.accepted())
        return refuse(QString("%1: %2; no converter was touched").arg(path, file.refusal()));
    if (!file.findings.isEmpty() && !force)
        return refuse(QString("%1: %2 (use --force to write it anyway); no converter was touched")
                          .arg(path, file.findingsText()));
    QTemporaryDir dir;
    const QString copy = dir.filePath("checked.upg");
    const QString notKept = dir.isValid()
        ? output::write(copy, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); })
        : dir.errorString();
    if (!notKept.isEmpty())
        return refuse(QString("cannot keep a copy of the file for the units: %1").arg(notKept));

    // The units are the converters present now; any plugged in later is
    // nobody's.
    std::vector<std::unique_ptr<Unit>> units;
    for (const Converter &c : findConverters(false)) {
        auto u = std::make_unique<Unit>();
        u->converter = c;
        units.push_back(std::move(u));
    }
    if (units.empty())
        return refuse("no converter found (USB 16c0:078b); check the USB cable");

    // One bootloader image flashed twice gives two units one serial: a
    // production defect, named even when every upgrade succeeds. Each unit
    // is addressed by its port, so that their runs cannot cross.
    QStringList duplicates;
    QStringList duplicateLines;
    for (const auto &u : units) {
        const QString serial = u->converter.serial.toUpper();
        if (serial.isEmpty() || duplicates.contains(serial))
            continue;
        QStringList ports;
        for (const auto &o : units) {
            if (o->converter.serial.toUpper() == serial)
                ports << (o->converter.port.isEmpty() ? o->converter.where() : o->converter.port);
        }
        if (ports.size() > 1) {
            duplicates << serial;
            duplicateLines << QString("serial %1 is reported by %2 converters, at %3")
                                  .arg(serial)
                                  .arg(ports.size())
                                  .arg(ports.join(", "));
        }
    }
    for (const QString &line : duplicateLines)
        console.err << "kelto-cli " << command << ": " << line << "\n";
    console.err.flush();

    // A stop request reaches the station alone (the units have process
    // groups of their own, so a Ctrl-C on the terminal is not delivered to
    // them behind its back) and is passed on to every unit once: each
    // finishes its transfer in flight and writes its record, and the
    // summary still follows.
    const Interruption interruption;
    bool forwarded = false;
    QEventLoop loop;
    int running = 0;
    bool dirty = true;
    QStringList messages; // the units' messages not yet shown on the terminal
    const auto finish = [&](Unit &u) {
        if (u.finished)
            return;
        u.finished = true;
        if (u.record.isEmpty())
            u.record = failureRecord(u, path);
        u.record["file"] = path;
        u.record["port"] = u.converter.port;
        dirty = true;
        if (!console.outIsTerminal) {
            console.out << u.converter.serial << ": " << statusText(u).mid(12) << "\n";
            console.out.flush();
        }
        if (u.pid > 0)
            Interruption::forget(u.pid);
        if (u.process && --running == 0)
            loop.quit();
    };
    static const QRegularExpression progressLine(
        "^(Firmware|External flash write|External flash verify) (\\d+)%$");
    const auto takeLine = [&](Unit &u, QString line) {
        // The run names the file it reads: the one given, not our copy.
        if (line == copy)
            line = path;
        if (line.startsWith('{')) {
            u.record = QJsonDocument::fromJson(line.toUtf8()).object();
            return;
        }
        if (const auto m = progressLine.match(line); m.hasMatch()) {
            u.phase = m.captured(1);
            u.percent = m.captured(2).toInt();
            // The run shows the flash bar at 0 % before it connects.
            if (u.percent > 0)
                u.step = stepOfPhase(u.phase);
        } else {
            u.lastLine = line;
            u.phase.clear();
            u.percent = -1;
            if (!console.outIsTerminal) {
                console.out << u.converter.serial << ": " << line << "\n";
                console.out.flush();
            }
        }
        dirty = true;
    };

    const QString program = QCoreApplication::applicationFilePath();
    // The units know their station; with --json they get its output too,
    // for the records of a station that dies before they end (kept open
    // across their exec).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_UNIX
    const int outputForUnits = json ? ::fcntl(STDOUT_FILENO, F_DUPFD, 10) : -1;
    environment.insert(
        stationVariable, QString("%1:%2:%3").arg(::getpid()).arg(outputForUnits).arg(path));
#endif
    for (auto &unit : units) {
        Unit &u = *unit;
        if (!u.converter.usable()) {
            u.problem = u.converter.access.isEmpty() ? QStringLiteral("serial unreadable")
                                                     : u.converter.access;
            finish(u);
            continue;
        }
        if (u.converter.port.isEmpty() && duplicates.contains(u.converter.serial.toUpper())) {
            u.problem = QStringLiteral("its serial is not its own and its port is unknown");
            finish(u);
            continue;
        }
        u.process = std::make_unique<QProcess>();
        QProcess *p = u.process.get();
#ifdef Q_OS_UNIX
        // A unit outlives no station, however it ends (SIGKILL included):
        // the kernel sends it SIGTERM, on which it stops after the transfer
        // in flight as on the station's own. Its lines then go nowhere,
        // which must not end it between two transfers.
        const pid_t station = ::getpid();
        p->setChildProcessModifier([station] {
            ::setpgid(0, 0);
            ::signal(SIGPIPE, SIG_IGN);
#ifdef Q_OS_LINUX
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
            // Gone before the death signal was asked for: never start.
            if (::getppid() != station)
                ::_exit(ExitFailed);
        });
#endif
        QObject::connect(p, &QProcess::readyReadStandardOutput, &loop, [&u, p, &takeLine] {
            u.lastHeard.start();
            u.outPending += p->readAllStandardOutput();
            for (int nl; (nl = int(u.outPending.indexOf('\n'))) >= 0;) {
                takeLine(u, QString::fromUtf8(u.outPending.left(nl)));
                u.outPending.remove(0, nl + 1);
            }
        });
        QObject::connect(
            p, &QProcess::readyReadStandardError, &loop, [&u, p, &console, &messages, &dirty] {
                u.lastHeard.start();
                u.errPending += p->readAllStandardError();
                for (int nl; (nl = int(u.errPending.indexOf('\n'))) >= 0;) {
                    const QString message
                        = u.converter.serial + ": " + QString::fromUtf8(u.errPending.left(nl));
                    u.errPending.remove(0, nl + 1);
                    // On a terminal, written above the block at its next redraw,
                    // never into it.
                    if (console.outIsTerminal) {
                        messages << message;
                        dirty = true;
                    } else {
                        console.err << message << "\n";
                    }
                }
                console.err.flush();
            });
        QObject::connect(p, &QProcess::finished, &loop, [&u, &finish](int, QProcess::ExitStatus) {
            if (u.problem.isEmpty() && u.record.isEmpty())
                u.problem = QStringLiteral("the unit's process ended without a record");
            finish(u);
        });
        QObject::connect(
            p, &QProcess::errorOccurred, &loop, [&u, &finish](QProcess::ProcessError e) {
                if (e != QProcess::FailedToStart)
                    return;
                u.problem = QStringLiteral("the unit's process could not be started");
                finish(u);
            });
        QStringList arguments {"upgrade", "--json", "--serial", u.converter.serial};
        if (!u.converter.port.isEmpty())
            arguments << "--port" << u.converter.port;
        if (force)
            arguments << "--force";
        arguments << unitOptions << copy;
        ++running;
        u.lastHeard.start();
        p->setProcessEnvironment(environment);
        p->start(program, arguments);
        u.pid = p->processId();
        if (u.pid > 0)
            Interruption::forwardTo(u.pid);
    }

    const auto redraw = [&](bool first) {
        if (!console.outIsTerminal || !dirty)
            return;
        dirty = false;
        if (!first)
            console.out << "\x1b[" << units.size() << "A";
        if (!messages.isEmpty()) {
            console.out.flush();
            for (const QString &m : std::as_const(messages))
                console.err << "\r\x1b[K" << m << "\n";
            console.err.flush();
            messages.clear();
        }
        for (const auto &u : units)
            console.out << "\r\x1b[K" << statusText(*u) << "\n";
        console.out.flush();
    };
    redraw(true);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        // The signal handler passed the signal on already; this reaches a
        // unit that was started just then.
        if (const int signal = Interruption::signal(); signal != 0) {
            Interruption::forwardPending();
            if (!forwarded) {
                forwarded = true;
                const QString text = QString("kelto-cli %1: %2: each unit stops after its "
                                             "transfer in flight and writes its record")
                                         .arg(command, Interruption::name(signal));
                if (console.outIsTerminal) {
                    messages << text;
                } else {
                    console.err << text << "\n";
                    console.err.flush();
                }
            }
        }
        for (auto &u : units) {
            if (!u->process || u->finished || u->lastHeard.elapsed() <= silenceLimitMs)
                continue;
            // Asked first, so that it stops between two transfers; ended
            // if it does not.
            u->problem = QString("no sign of life for %1 s").arg(silenceLimitMs / 1000);
            if (!u->stopAsked) {
                u->stopAsked = true;
                u->process->terminate();
            } else if (u->lastHeard.elapsed() > silenceLimitMs + graceMs) {
                u->process->kill();
            }
        }
        redraw(false);
    });
    tick.start(redrawMs);
    if (running > 0)
        loop.exec();
    for (auto &u : units) {
        if (u->process)
            u->process->waitForFinished(-1);
    }
    dirty = true;
    redraw(false);
#ifdef Q_OS_UNIX
    if (outputForUnits >= 0)
        ::close(outputForUnits);
#endif

    int succeeded = 0;
    // Stopped by the station's own signal only: a unit that a signal of its
    // own ended is a failed unit.
    const int stationSignal = Interruption::signal();
    const bool interrupted = stationSignal != 0;
    QJsonArray failed;
    QStringList failures;
    for (const auto &u : units) {
        if (u->record.value("success").toBool()) {
            ++succeeded;
            continue;
        }
        // A serial that several units report names none of them alone.
        const bool shared = duplicates.contains(u->converter.serial.toUpper());
        failed.append(u->converter.serial.isEmpty() || shared
                ? QString("%1 %2").arg(u->converter.serial, u->converter.where()).trimmed()
                : u->converter.serial);
        failures << statusText(*u);
    }
    const int total = int(units.size());
    if (json) {
        for (const auto &u : units)
            console.out << QJsonDocument(u->record).toJson(QJsonDocument::Compact) << "\n";
        printSummary(console,
            QJsonObject {{"units", total}, {"succeeded", succeeded}, {"failed", failed},
                {"success", succeeded == total},
                {"duplicate_serials", QJsonArray::fromStringList(duplicates)},
                {"interrupted",
                    interrupted ? QJsonValue(Interruption::name(stationSignal))
                                : QJsonValue(false)}},
            path, clock.elapsed());
    } else {
        console.out << QString("%1 of %2 units upgraded\n").arg(succeeded).arg(total);
        for (const QString &line : duplicateLines)
            console.out << "duplicate " << line << "\n";
    }
    console.out.flush();
    if (succeeded != total) {
        fail(command,
            QString("%1 of %2 units failed:\n  %3")
                .arg(total - succeeded)
                .arg(total)
                .arg(failures.join("\n  ")),
            console);
        // As a single upgrade does: 128 + the signal when it stopped a run.
        return interrupted ? 128 + stationSignal : int(ExitFailed);
    }
    return ExitOk;
}

} // namespace kelto::cli
