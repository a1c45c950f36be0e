// history: the upgrade history and the issued serials, as text, JSON lines
// or CSV for a production database; and the history options of the
// commands that write it.
#include "commandline.h"
#include "commands.h"
#include "exitcode.h"
#include "historyoptions.h"
#include "historystore.h"
#include "inputfile.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QTimeZone>

namespace kelto::cli {

using namespace kelto::history;

QString historyHelp(int column)
{
    const QString indent(column, ' ');
    return "  --history PATH|URL\n" + indent + "the history: an SQLite file or\n" + indent
        + "postgresql://user@host:port/dbname[?host=/socket/dir]\n" + indent
        + "(default: KELTO_HISTORY, else\n" + indent + "~/.local/state/kelto/history.sqlite)\n";
}

namespace {

const char command[] = "history";

// "2026-03-01" (from local midnight) or an ISO 8601 date and time.
QDateTime parseSince(const QString &text)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        return day.startOfDay();
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

QString csvField(const QString &text)
{
    static const QRegularExpression special("[\",\r\n]");
    if (!text.contains(special))
        return text;
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

QString csvValue(const QJsonValue &v)
{
    if (v.isBool())
        return v.toBool() ? "true" : "false";
    if (v.isDouble())
        return QString::number(v.toDouble(), 'g', 15);
    return v.toString();
}

const QStringList upgradeColumns {"id", "started", "ended", "status", "serial", "usb_serial",
    "file", "file_sha256", "usb_port", "host", "user", "pid", "tool", "bootloader_version", "mode",
    "step", "converter", "reason", "pages_written", "pages_verified", "interrupted"};
const QStringList serialColumns {
    "id", "serial", "issued", "reissue", "bootloader_sha256", "host", "user", "pid", "tool"};

void printCsv(const QList<QJsonObject> &rows, const QStringList &columns, QTextStream &out)
{
    out << columns.join(',') << "\n";
    for (const QJsonObject &o : rows) {
        QStringList fields;
        for (const QString &c : columns)
            fields << csvField(csvValue(o.value(c)));
        out << fields.join(',') << "\n";
    }
}

QString upgradeLine(const UpgradeEntry &e)
{
    QString line = QString("%1  %2  %3").arg(e.started, e.serial.leftJustified(9), e.status());
    if (e.status() == "failed")
        line += " in step " + e.record.value("step").toString();
    line += QString("  %1  %2 pid %3").arg(e.file, e.origin.host).arg(e.origin.pid);
    if (!e.usbPort.isEmpty())
        line += "  " + e.usbPort;
    return line;
}

QString serialLine(const SerialEntry &e)
{
    return QString("%1  %2  %3  build %4  %5 %6")
        .arg(e.issued, e.serial, e.reissue ? "reissued" : "issued", e.bootloaderSha256.left(16),
            e.origin.host, e.origin.tool);
}

} // namespace

void addHistoryOptions(CommandLine &line, bool writes)
{
    line.addValueOption("history", "PATH|URL");
    if (writes)
        line.addFlag("require-history");
}

QString historyLocation(const CommandLine &line)
{
    return chosenLocation(line.isSet("history") ? line.value("history") : QString());
}

void warnWithoutHistory(const QString &command, const QString &problem, Console &console)
{
    fail(command, "warning: " + problem + "; going on without the history", console);
}

std::optional<int> recordIssuedSerials(const QString &command, const CommandLine &line,
    const QStringList &serials, const QString &buildFile, Console &console)
{
    QString error;
    const std::optional<Location> where = parseLocation(historyLocation(line), &error);
    std::optional<Store> store;
    if (where)
        store.emplace(*where);
    if (!store || !store->isOpen()) {
        const QString problem = store ? store->error() : error;
        if (line.isSet("require-history")) {
            fail(command, problem + "; refused (--require-history), no image was written", console);
            return int(ExitFailed);
        }
        warnWithoutHistory(command, problem, console);
        return std::nullopt;
    }
    QStringList taken;
    const bool reissue = line.isSet("reissue");
    if (store->issueSerials(serials, fileSha256(buildFile), reissue,
            Origin::current("kelto-cli " KELTO_VERSION), &taken))
        return std::nullopt;
    if (!taken.isEmpty() && !reissue) {
        fail(command,
            QString("serial%1 %2 issued before (see kelto-cli history --serials); use --reissue "
                    "to issue again; no image was written")
                .arg(taken.size() > 1 ? "s" : "", taken.join(", ")),
            console);
        return int(ExitFailed);
    }
    fail(command, store->error() + "; no image was written", console);
    return int(ExitFailed);
}

int history(const QStringList &arguments, Console &console)
{
    CommandLine line(command,
        "history [--serial S] [--since DATE] [--json | --csv] [--serials] [--history PATH|URL]",
        QString("Lists the upgrade history, oldest first: every firmware change of the\n"
                "window, of upgrade and of each unit of upgrade --all, with its outcome\n"
                "(ok, failed, or unfinished: the run's process ended before it could\n"
                "complete its entry), its file and the file's SHA-256, its host and process.\n\n"
                "Options:\n"
                "  --serial S    only the unit with this serial\n"
                "  --since DATE  only from DATE on: 2026-03-01 (local time) or an ISO 8601\n"
                "                date and time such as 2026-03-01T08:00:00Z\n"
                "  --json        one JSON object per entry, a line each\n"
                "  --csv         comma-separated values with a header line\n"
                "  --serials     the serials make-bootbin issued, instead of the upgrades\n")
            + historyHelp(16));
    line.addValueOption("serial", "S");
    line.addValueOption("since", "DATE");
    line.addFlag("json");
    line.addFlag("csv");
    line.addFlag("serials");
    addHistoryOptions(line, false);
    if (auto done = line.parse(arguments, 0, 0, console))
        return *done;
    if (line.isSet("json") && line.isSet("csv"))
        return line.usageError(console, "--json and --csv exclude each other");
    QDateTime since;
    if (line.isSet("since")) {
        since = parseSince(line.value("since"));
        if (!since.isValid())
            return line.usageError(console,
                QString("--since '%1': not a date (2026-03-01) or an ISO 8601 date and time")
                    .arg(line.value("since")));
    }
    const QString serial = line.value("serial");

    QString error;
    const std::optional<Location> where = parseLocation(historyLocation(line), &error);
    if (!where) {
        fail(command, error, console);
        return ExitFailed;
    }
    Store store(*where, Store::Mode::ReadOnly);
    QList<QJsonObject> rows;
    QStringList lines;
    if (line.isSet("serials")) {
        const auto entries = store.serials(serial, since);
        if (!entries) {
            fail(command, store.error(), console);
            return ExitFailed;
        }
        for (const SerialEntry &e : *entries) {
            rows << e.json();
            lines << serialLine(e);
        }
    } else {
        const auto entries = store.upgrades(serial, since);
        if (!entries) {
            fail(command, store.error(), console);
            return ExitFailed;
        }
        for (const UpgradeEntry &e : *entries) {
            rows << e.json();
            lines << upgradeLine(e);
        }
    }
    if (line.isSet("csv")) {
        printCsv(rows, line.isSet("serials") ? serialColumns : upgradeColumns, console.out);
    } else if (line.isSet("json")) {
        for (const QJsonObject &o : rows)
            console.out << QJsonDocument(o).toJson(QJsonDocument::Compact) << "\n";
    } else {
        for (const QString &l : lines)
            console.out << l << "\n";
    }
    console.out.flush();
    return ExitOk;
}

} // namespace kelto::cli
