#include "upgradeall.h"

#include "converters.h"
#include "exitcode.h"
#include "inputfile.h"
#include "inspection.h"
#include "interruption.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
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
#include <unistd.h>
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

} // namespace

int upgradeAll(const QString &path, bool json, bool force, bool skipUnchanged, Console &console)
{
    QElapsedTimer clock;
    clock.start();

    // The one reading of the file; every unit gets these bytes, checked,
    // whatever happens to the file during the run.
    QFile in(path);
    if (QFileInfo(path).isDir() || !in.open(QIODevice::ReadOnly)) {
        const QString why = QFileInfo(path).isDir() ? QString("Is a directory") : in.errorString();
        fail(command, QString("cannot read %1: %2").arg(path, why), console);
        return ExitFailed;
    }
    const QByteArray bytes = in.readAll();
    in.close();
    QTemporaryDir dir;
    const QString copy = dir.filePath("checked.upg");
    QFile out(copy);
    if (!dir.isValid() || !out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size()
        || !out.flush()) {
        fail(command,
            QString("cannot keep a copy of the file for the units: %1")
                .arg(dir.isValid() ? out.errorString() : dir.errorString()),
            console);
        return ExitFailed;
    }
    out.close();
    const Inspection file = inspectFile(copy);
    if (!file.accepted()) {
        const bool version = file.status == upgradefile::ReadStatus::WrongVersion;
        fail(command,
            QString("%1: %2; no converter was touched")
                .arg(path, version ? "Wrong file version" : "Wrong file header"),
            console);
        return ExitFailed;
    }
    if (!file.findings.isEmpty() && !force) {
        QStringList texts;
        for (const Inspection::Finding &f : file.findings)
            texts << f.text;
        fail(command,
            QString("%1: %2 (use --force to write it anyway); no converter was touched")
                .arg(path, texts.join("; ")),
            console);
        return ExitFailed;
    }

    // The units are the converters present now; any plugged in later is
    // nobody's.
    std::vector<std::unique_ptr<Unit>> units;
    for (const Converter &c : findConverters(false)) {
        auto u = std::make_unique<Unit>();
        u->converter = c;
        units.push_back(std::move(u));
    }
    if (units.empty()) {
        fail(command, "no converter found (USB 16c0:078b); check the USB cable", console);
        return ExitFailed;
    }

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
    const auto finish = [&](Unit &u) {
        if (u.finished)
            return;
        u.finished = true;
        if (u.record.isEmpty())
            u.record = failureRecord(u, path);
        u.record["file"] = path;
        dirty = true;
        if (!console.outIsTerminal) {
            console.out << u.converter.serial << ": " << statusText(u).mid(12) << "\n";
            console.out.flush();
        }
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
    for (auto &unit : units) {
        Unit &u = *unit;
        if (!u.converter.usable()) {
            u.problem = u.converter.access.isEmpty() ? QStringLiteral("serial unreadable")
                                                     : u.converter.access;
            finish(u);
            continue;
        }
        u.process = std::make_unique<QProcess>();
        QProcess *p = u.process.get();
#ifdef Q_OS_UNIX
        p->setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
        QObject::connect(p, &QProcess::readyReadStandardOutput, &loop, [&u, p, &takeLine] {
            u.lastHeard.start();
            u.outPending += p->readAllStandardOutput();
            for (int nl; (nl = int(u.outPending.indexOf('\n'))) >= 0;) {
                takeLine(u, QString::fromUtf8(u.outPending.left(nl)));
                u.outPending.remove(0, nl + 1);
            }
        });
        QObject::connect(p, &QProcess::readyReadStandardError, &loop, [&u, p, &console] {
            u.lastHeard.start();
            u.errPending += p->readAllStandardError();
            for (int nl; (nl = int(u.errPending.indexOf('\n'))) >= 0;) {
                console.err << u.converter.serial << ": "
                            << QString::fromUtf8(u.errPending.left(nl)) << "\n";
                u.errPending.remove(0, nl + 1);
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
        if (force)
            arguments << "--force";
        if (skipUnchanged)
            arguments << "--skip-unchanged";
        arguments << copy;
        ++running;
        u.lastHeard.start();
        p->start(program, arguments);
    }

    const auto redraw = [&](bool first) {
        if (!console.outIsTerminal || !dirty)
            return;
        dirty = false;
        if (!first)
            console.out << "\x1b[" << units.size() << "A";
        for (const auto &u : units)
            console.out << "\r\x1b[K" << statusText(*u) << "\n";
        console.out.flush();
    };
    redraw(true);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
#ifdef Q_OS_UNIX
        if (const int signal = Interruption::signal(); signal != 0 && !forwarded) {
            forwarded = true;
            for (auto &u : units) {
                if (u->process && !u->finished)
                    ::kill(pid_t(u->process->processId()), signal);
            }
        }
#endif
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

    int succeeded = 0;
    bool interrupted = false;
    QJsonArray failed;
    QStringList failures;
    for (const auto &u : units) {
        interrupted = interrupted || u->record.value("interrupted").isString();
        if (u->record.value("success").toBool()) {
            ++succeeded;
            continue;
        }
        failed.append(u->converter.serial.isEmpty() ? u->converter.where() : u->converter.serial);
        failures << statusText(*u);
    }
    const int total = int(units.size());
    if (json) {
        for (const auto &u : units)
            console.out << QJsonDocument(u->record).toJson(QJsonDocument::Compact) << "\n";
        const QJsonObject summary {{"file", path}, {"units", total}, {"succeeded", succeeded},
            {"failed", failed}, {"success", succeeded == total}, {"duration_ms", clock.elapsed()},
            {"interrupted",
                forwarded ? QJsonValue(Interruption::name(Interruption::signal()))
                          : QJsonValue(false)}};
        console.out
            << QJsonDocument(QJsonObject {{"summary", summary}}).toJson(QJsonDocument::Compact)
            << "\n";
    } else {
        console.out << QString("%1 of %2 units upgraded\n").arg(succeeded).arg(total);
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
        return interrupted ? 128 + Interruption::signal() : int(ExitFailed);
    }
    return ExitOk;
}

} // namespace kelto::cli
