#include "historystore.h"

#include "boundedread.h"
#include "hexreader.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <atomic>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace kelto::history {

namespace {

// A transaction waits this long for another writer (16 unit processes and a
// window at once each hold the file for a few milliseconds).
constexpr int busyTimeoutMs = 30000;
// Serialises the schema's creation between stations that start at once.
constexpr qint64 schemaLockKey = 0x4b454c544f; // "KELTO"

// Qt's connections are per thread; every Store has its own.
std::atomic<int> connections {0};

QString sqlError(const QSqlError &e)
{
    // The server's messages run over several lines.
    QString why = e.databaseText().simplified();
    if (why.isEmpty())
        why = e.driverText().simplified();
    return why.isEmpty() ? QStringLiteral("unknown error") : why;
}

// Bound as text, never as NULL (the columns are NOT NULL).
QVariant text(const QString &s)
{
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

QString textOrEmpty(const QVariant &v)
{
    return v.isNull() ? QString() : v.toString();
}

Origin originOf(const QSqlQuery &q, int first)
{
    Origin o;
    o.host = textOrEmpty(q.value(first));
    o.user = textOrEmpty(q.value(first + 1));
    o.pid = q.value(first + 2).toLongLong();
    o.tool = textOrEmpty(q.value(first + 3));
    return o;
}

void addOrigin(QJsonObject &o, const Origin &origin)
{
    o["host"] = origin.host;
    o["user"] = origin.user;
    o["pid"] = origin.pid;
    o["tool"] = origin.tool;
}

// The WHERE clause of a listing and its values, in order.
QString filter(
    const QString &serial, const QDateTime &since, const char *timeColumn, QVariantList &values)
{
    QStringList terms;
    if (!serial.isEmpty()) {
        terms << "serial = ?";
        values << serial;
    }
    if (since.isValid()) {
        // The times are written in one form, so they compare as text.
        terms << QString("%1 >= ?").arg(timeColumn);
        values << timestamp(since.toUTC());
    }
    return terms.isEmpty() ? QString() : " WHERE " + terms.join(" AND ");
}

} // namespace

QString defaultLocation()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative value is to be ignored.
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + "/.local/state";
    return state + "/kelto/history.sqlite";
}

QString chosenLocation(const QString &option)
{
    if (!option.isEmpty())
        return option;
    const QString variable = qEnvironmentVariable("KELTO_HISTORY");
    return variable.isEmpty() ? defaultLocation() : variable;
}

std::optional<Location> parseLocation(const QString &text, QString *error)
{
    Location l;
    if (text.isEmpty()) {
        *error = QStringLiteral("history: no location given");
        return std::nullopt;
    }
    if (!text.contains("://")) {
        l.kind = Location::Kind::SQLite;
        l.path = text;
        l.text = text;
        return l;
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != "postgresql" && scheme != "postgres")) {
        *error = QString("history %1: not a file and not a postgresql:// URL").arg(text);
        return std::nullopt;
    }
    l.kind = Location::Kind::PostgreSQL;
    l.user = url.userName(QUrl::FullyDecoded);
    l.password = url.password(QUrl::FullyDecoded);
    l.host = url.host(QUrl::FullyDecoded);
    l.port = url.port(-1);
    l.database = url.path(QUrl::FullyDecoded).mid(1);
    const QUrlQuery query(url);
    if (query.hasQueryItem("host"))
        l.host = query.queryItemValue("host", QUrl::FullyDecoded);
    if (l.database.isEmpty() || l.database.contains('/')) {
        *error = QString("history %1: the URL names no database (postgresql://user@host/dbname)")
                     .arg(text);
        return std::nullopt;
    }
    QUrl shown = url;
    shown.setPassword(QString());
    l.text = shown.toString();
    return l;
}

Origin Origin::current(const QString &tool)
{
    Origin o;
    o.host = QSysInfo::machineHostName();
    o.pid = QCoreApplication::applicationPid();
    o.tool = tool;
#ifdef Q_OS_UNIX
    // The reentrant form: stores of several threads start at once.
    passwd entry {};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        o.user = QString::fromLocal8Bit(found->pw_name);
#endif
    if (o.user.isEmpty())
        o.user = qEnvironmentVariable("USER");
    return o;
}

QString UpgradeEntry::status() const
{
    if (!success)
        return QStringLiteral("unfinished");
    return *success ? QStringLiteral("ok") : QStringLiteral("failed");
}

QJsonObject UpgradeEntry::json() const
{
    // The run's own record first; what the history knows besides it after.
    QJsonObject o = record;
    o["id"] = id;
    o["status"] = status();
    o["started"] = started;
    o["ended"] = ended.isEmpty() ? QJsonValue() : QJsonValue(ended);
    addOrigin(o, origin);
    o["file"] = file;
    o["file_sha256"] = fileSha256;
    o["usb_port"] = usbPort;
    if (!serial.isEmpty() || !o.contains("serial"))
        o["serial"] = serial;
    if (!success)
        o["success"] = false;
    return o;
}

QJsonObject SerialEntry::json() const
{
    QJsonObject o {{"id", id}, {"serial", serial}, {"bootloader_sha256", bootloaderSha256},
        {"issued", issued}, {"reissue", reissue}};
    addOrigin(o, origin);
    return o;
}

Store::Store(const Location &location, Mode mode)
    : location(location)
    , mode(mode)
    , connection(QString("kelto-history-%1").arg(connections.fetch_add(1)))
{
    open = openDatabase() && createSchema();
}

Store::~Store()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}

bool Store::fail(const QString &what, const QString &why)
{
    error_ = QString("history %1: %2: %3").arg(location.text, what, why);
    return false;
}

bool Store::openDatabase()
{
    const bool sqlite = location.kind == Location::Kind::SQLite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, connection);
    if (!db.isValid())
        return fail("cannot open it",
            QString("Qt's %1 driver is not installed (Debian: %2)")
                .arg(driver, sqlite ? "libqt6sql6-sqlite" : "libqt6sql6-psql"));
    if (sqlite) {
        const QFileInfo file(location.path);
        if (file.isDir())
            return fail("cannot open it", "Is a directory");
        if (mode == Mode::ReadOnly && !file.exists())
            return true; // nothing recorded there yet
        if (mode == Mode::ReadWrite) {
            std::error_code failure;
            std::filesystem::create_directories(
                QFile::encodeName(file.absolutePath()).toStdString(), failure);
            if (failure)
                return fail("cannot create its folder " + file.absolutePath(),
                    QString::fromStdString(failure.message()));
        }
        db.setDatabaseName(location.path);
        QString options = QString("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs);
        if (mode == Mode::ReadOnly)
            options += ";QSQLITE_OPEN_READONLY";
        db.setConnectOptions(options);
    } else {
        db.setDatabaseName(location.database);
        db.setUserName(location.user);
        db.setPassword(location.password);
        db.setHostName(location.host);
        db.setPort(location.port);
        db.setConnectOptions("connect_timeout=10");
    }
    if (!db.open())
        return fail("cannot open it", sqlError(db.lastError()));
    if (!sqlite) {
        // The server's notices ("relation already exists, skipping") are
        // not for the operator.
        QSqlQuery q(db);
        q.exec("SET client_min_messages TO WARNING");
    }
    if (sqlite && mode == Mode::ReadWrite) {
        // Readers do not wait for writers, and writers of other processes
        // queue for the busy timeout instead of failing at once. A file that
        // is not a database fails here and is left as it is.
        QSqlQuery q(db);
        if (!q.exec("PRAGMA journal_mode=WAL"))
            return fail("cannot use it", sqlError(q.lastError()));
    }
    return true;
}

bool Store::begin()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    // SQLite: take the write lock now, waiting for it, rather than at the
    // first write, where a writer that lost the race fails at once.
    const char *statement = location.kind == Location::Kind::SQLite ? "BEGIN IMMEDIATE" : "BEGIN";
    QSqlQuery q(db);
    if (q.exec(statement))
        return true;
    // A server restarted during a run has dropped the connection: the run's
    // entry is completed over a new one.
    if (location.kind == Location::Kind::PostgreSQL) {
        q.finish();
        db.close();
        if (db.open()) {
            QSqlQuery again(db);
            again.exec("SET client_min_messages TO WARNING");
            if (again.exec(statement))
                return true;
        }
    }
    return fail("cannot start a transaction", sqlError(q.lastError()));
}

bool Store::commit()
{
    QSqlQuery q(QSqlDatabase::database(connection, false));
    if (!q.exec("COMMIT")) {
        const QString why = sqlError(q.lastError());
        rollback();
        return fail("cannot write", why);
    }
    return true;
}

void Store::rollback()
{
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.exec("ROLLBACK");
}

bool Store::createSchema()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen())
        return true; // read-only and no file yet
    // A store that has its tables is not locked to make them again: the
    // stations of a factory open it at once.
    const auto versionFound = [&db]() -> std::optional<int> {
        if (!db.tables().contains("kelto_schema"))
            return std::nullopt;
        QSqlQuery q(db);
        if (!q.exec("SELECT MAX(version) FROM kelto_schema") || !q.next())
            return std::nullopt;
        return q.value(0).toInt();
    };
    if (mode == Mode::ReadWrite && versionFound() == schemaVersion)
        return true;
    if (mode == Mode::ReadOnly) {
        // A damaged file shows at its first reading, not at its opening.
        QSqlQuery probe(db);
        if (location.kind == Location::Kind::SQLite
            && !probe.exec("SELECT COUNT(*) FROM sqlite_master"))
            return fail("cannot read it", sqlError(probe.lastError()));
        if (!db.tables().contains("kelto_schema"))
            return true;
    } else {
        const bool sqlite = location.kind == Location::Kind::SQLite;
        const QString id = sqlite ? "INTEGER PRIMARY KEY AUTOINCREMENT" : "BIGSERIAL PRIMARY KEY";
        const QString origin = "host TEXT NOT NULL, user_name TEXT NOT NULL, pid BIGINT NOT NULL, "
                               "tool TEXT NOT NULL";
        const QStringList statements {
            "CREATE TABLE IF NOT EXISTS kelto_schema (version INTEGER NOT NULL)",
            QString("CREATE TABLE IF NOT EXISTS upgrades (id %1, started TEXT NOT NULL, ended "
                    "TEXT, %2, file TEXT NOT NULL, file_sha256 TEXT NOT NULL, usb_port TEXT NOT "
                    "NULL, serial TEXT NOT NULL, success INTEGER, record TEXT)")
                .arg(id, origin),
            "CREATE INDEX IF NOT EXISTS upgrades_serial ON upgrades (serial)",
            QString("CREATE TABLE IF NOT EXISTS serials (id %1, serial TEXT NOT NULL, "
                    "bootloader_sha256 TEXT NOT NULL, issued TEXT NOT NULL, %2, reissue INTEGER "
                    "NOT NULL)")
                .arg(id, origin),
            "CREATE INDEX IF NOT EXISTS serials_serial ON serials (serial)",
        };
        if (!begin())
            return false;
        QSqlQuery q(db);
        if (!sqlite && !q.exec(QString("SELECT pg_advisory_xact_lock(%1)").arg(schemaLockKey))) {
            rollback();
            return fail("cannot create its tables", sqlError(q.lastError()));
        }
        for (const QString &s : statements) {
            if (!q.exec(s)) {
                rollback();
                return fail("cannot create its tables", sqlError(q.lastError()));
            }
        }
        if (!q.exec("SELECT COUNT(*) FROM kelto_schema") || !q.next()) {
            rollback();
            return fail("cannot read its version", sqlError(q.lastError()));
        }
        if (q.value(0).toInt() == 0
            && !q.exec(
                QString("INSERT INTO kelto_schema (version) VALUES (%1)").arg(schemaVersion))) {
            rollback();
            return fail("cannot create its tables", sqlError(q.lastError()));
        }
        if (!commit())
            return false;
    }
    QSqlQuery q(db);
    if (!q.exec("SELECT MAX(version) FROM kelto_schema") || !q.next())
        return fail("cannot read its version", sqlError(q.lastError()));
    const int version = q.value(0).toInt();
    if (version != schemaVersion)
        return fail("cannot use it",
            QString("its tables are of version %1; this program knows version %2")
                .arg(version)
                .arg(schemaVersion));
    return true;
}

std::optional<qint64> Store::beginUpgrade(const UpgradeStart &start, const Origin &origin)
{
    if (!open || !begin())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    q.prepare("INSERT INTO upgrades (started, host, user_name, pid, tool, file, file_sha256, "
              "usb_port, serial) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id");
    for (const QVariant &v : QVariantList {timestamp(), text(origin.host), text(origin.user),
             origin.pid, text(origin.tool), text(start.file), text(start.fileSha256),
             text(start.usbPort), text(start.serial)})
        q.addBindValue(v);
    if (!q.exec() || !q.next()) {
        const QString why = sqlError(q.lastError());
        q.finish();
        rollback();
        fail("cannot write", why);
        return std::nullopt;
    }
    const qint64 id = q.value(0).toLongLong();
    q.finish();
    if (!commit())
        return std::nullopt;
    return id;
}

bool Store::finishUpgrade(qint64 id, const QJsonObject &record, bool success, const QString &serial)
{
    if (!open || !begin())
        return false;
    QSqlQuery q(QSqlDatabase::database(connection, false));
    // A serial learnt during the run replaces the one asked for.
    q.prepare("UPDATE upgrades SET ended = ?, success = ?, record = ?, serial = CASE WHEN ? = '' "
              "THEN serial ELSE ? END WHERE id = ?");
    const QString json = QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact));
    for (const QVariant &v :
        QVariantList {timestamp(), success ? 1 : 0, json, text(serial), text(serial), id})
        q.addBindValue(v);
    if (!q.exec()) {
        const QString why = sqlError(q.lastError());
        rollback();
        return fail("cannot write", why);
    }
    if (q.numRowsAffected() != 1) {
        rollback();
        return fail("cannot complete the run's entry", QString("entry %1 is gone").arg(id));
    }
    return commit();
}

std::optional<QSqlQuery> Store::listing(const char *table, const char *columns,
    const char *timeColumn, const QString &serial, const QDateTime &since)
{
    if (!open)
        return std::nullopt;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    if (!db.isOpen() || !db.tables().contains(table))
        return q;
    QVariantList values;
    q.setForwardOnly(true);
    q.prepare(QString("SELECT %1 FROM %2").arg(columns, table)
        + filter(serial, since, timeColumn, values) + QString(" ORDER BY %1, id").arg(timeColumn));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        fail("cannot read", sqlError(q.lastError()));
        return std::nullopt;
    }
    return q;
}

std::optional<QList<UpgradeEntry>> Store::upgrades(const QString &serial, const QDateTime &since)
{
    std::optional<QSqlQuery> rows = listing("upgrades",
        "id, started, ended, host, user_name, pid, tool, file, file_sha256, usb_port, serial, "
        "success, record",
        "started", serial, since);
    if (!rows)
        return std::nullopt;
    QSqlQuery &q = *rows;
    QList<UpgradeEntry> entries;
    while (q.next()) {
        UpgradeEntry e;
        e.id = q.value(0).toLongLong();
        e.started = textOrEmpty(q.value(1));
        e.ended = textOrEmpty(q.value(2));
        e.origin = originOf(q, 3);
        e.file = textOrEmpty(q.value(7));
        e.fileSha256 = textOrEmpty(q.value(8));
        e.usbPort = textOrEmpty(q.value(9));
        e.serial = textOrEmpty(q.value(10));
        if (!q.value(11).isNull() && !e.ended.isEmpty())
            e.success = q.value(11).toInt() == 1;
        e.record = QJsonDocument::fromJson(q.value(12).toString().toUtf8()).object();
        entries << e;
    }
    return entries;
}

bool Store::issueSerials(const QStringList &serials, const QString &bootloaderSha256, bool reissue,
    const Origin &origin, QStringList *taken)
{
    taken->clear();
    if (!open || !begin())
        return false;
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    QSqlQuery q(db);
    // Two stations issuing the same serial at once: one waits for the other
    // and then sees it issued.
    if (location.kind == Location::Kind::PostgreSQL
        && !q.exec("LOCK TABLE serials IN SHARE ROW EXCLUSIVE MODE")) {
        const QString why = sqlError(q.lastError());
        rollback();
        return fail("cannot write", why);
    }
    q.prepare("SELECT DISTINCT serial FROM serials WHERE serial = ?");
    for (const QString &s : serials) {
        q.addBindValue(s);
        if (!q.exec()) {
            const QString why = sqlError(q.lastError());
            rollback();
            return fail("cannot read", why);
        }
        if (q.next())
            *taken << s;
    }
    q.finish();
    if (!taken->isEmpty() && !reissue) {
        rollback();
        return false;
    }
    const QString now = timestamp();
    q.prepare("INSERT INTO serials (serial, bootloader_sha256, issued, host, user_name, pid, tool, "
              "reissue) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    for (const QString &s : serials) {
        for (const QVariant &v : QVariantList {s, text(bootloaderSha256), now, text(origin.host),
                 text(origin.user), origin.pid, text(origin.tool), taken->contains(s) ? 1 : 0})
            q.addBindValue(v);
        if (!q.exec()) {
            const QString why = sqlError(q.lastError());
            rollback();
            return fail("cannot write", why);
        }
    }
    return commit();
}

std::optional<QList<SerialEntry>> Store::serials(const QString &serial, const QDateTime &since)
{
    std::optional<QSqlQuery> rows = listing("serials",
        "id, serial, bootloader_sha256, issued, host, user_name, pid, tool, reissue", "issued",
        serial, since);
    if (!rows)
        return std::nullopt;
    QSqlQuery &q = *rows;
    QList<SerialEntry> entries;
    while (q.next()) {
        SerialEntry e;
        e.id = q.value(0).toLongLong();
        e.serial = textOrEmpty(q.value(1));
        e.bootloaderSha256 = textOrEmpty(q.value(2));
        e.issued = textOrEmpty(q.value(3));
        e.origin = originOf(q, 4);
        e.reissue = q.value(8).toInt() != 0;
        entries << e;
    }
    return entries;
}

QString fileSha256(const QString &path)
{
    // Only a regular file, read once more: a pipe has been read already and
    // would wait for a writer that never comes, a device might never end.
    if (!QFileInfo(path).isFile())
        return QString();
    QByteArray bytes;
    const input::Read read = input::readAll(path, hex::largestBuild, bytes);
    if (!read.ok() || read.exceeded)
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString timestamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace kelto::history
