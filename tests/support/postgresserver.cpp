#include "postgresserver.h"

#include <QDir>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace kelto::test {

PostgresServer::PostgresServer(bool durable)
{
    // Debian installs the server's programs by major version.
    const QStringList versions
        = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &v : versions) {
        if (QFile::exists(QString("/usr/lib/postgresql/%1/bin/initdb").arg(v)))
            bin = QString("/usr/lib/postgresql/%1/bin/").arg(v);
    }
    if (bin.isEmpty()) {
        absent_ = true;
        problem_ = "the PostgreSQL server is not installed (Debian: postgresql)";
        return;
    }
    if (::geteuid() == 0) {
        const passwd *pw = ::getpwnam("postgres");
        if (!pw || ::chown(dir.path().toLocal8Bit().constData(), pw->pw_uid, pw->pw_gid) != 0) {
            problem_ = "no postgres user to run the server as";
            return;
        }
        asPostgres = true;
    }
    const QString data = dir.filePath("data");
    running_ = run({bin + "initdb", "-D", data, "-A", "trust", "-U", "postgres", "-N"}, true)
        && run({bin + "pg_ctl", "-D", data, "-l", dir.filePath("log"), "-w", "-s", "-o",
                   QString("-k %1 -c listen_addresses=''%2").arg(dir.path(), durable ? "" : " -F"),
                   "start"},
            true);
}

PostgresServer::~PostgresServer()
{
    if (running_)
        run({bin + "pg_ctl", "-D", dir.filePath("data"), "-m", "immediate", "-w", "-s", "stop"},
            true);
}

bool PostgresServer::run(const QStringList &command, bool asServer)
{
    QStringList arguments = command;
    if (asServer && asPostgres)
        arguments = QStringList {"-u", "postgres", "--"} + command;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    // The server user may not enter the caller's folder.
    p.setWorkingDirectory(dir.path());
    p.start(asServer && asPostgres ? QString("runuser") : arguments.takeFirst(), arguments);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        problem_ = command.join(' ') + ": " + QString::fromLocal8Bit(p.readAll()).trimmed()
            + p.errorString();
        return false;
    }
    return true;
}

bool PostgresServer::restart()
{
    return running_
        && run({bin + "pg_ctl", "-D", dir.filePath("data"), "-m", "fast", "-w", "-s", "restart"},
            true);
}

QString PostgresServer::createDatabase(const QString &name)
{
    if (!running_ || !run({bin + "createdb", "-h", dir.path(), "-U", "postgres", name}, false))
        return QString();
    return QString("postgresql://postgres@/%1?host=%2").arg(name, dir.path());
}

} // namespace kelto::test
