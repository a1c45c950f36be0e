#ifndef KELTO_TESTS_POSTGRESSERVER_H
#define KELTO_TESTS_POSTGRESSERVER_H

#include <QString>
#include <QTemporaryDir>

namespace kelto::test {

// A PostgreSQL server of the caller's own: initdb into a temporary folder,
// listening on a Unix socket there only, run as the postgres user when the
// caller is root (the server refuses root). Stopped when destroyed.
class PostgresServer
{
public:
    // durable: the server syncs its writes to disk as a production one
    // does; tests leave that out for speed.
    explicit PostgresServer(bool durable = false);
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // The server's programs are not installed: a reason to skip.
    bool absent() const { return absent_; }
    bool running() const { return running_; }
    // Why it is not running.
    QString problem() const { return problem_; }
    // Stops the server and starts it again: its clients' connections drop.
    bool restart();
    // A new, empty database; its URL, or empty (problem() says why).
    QString createDatabase(const QString &name);

private:
    bool run(const QStringList &command, bool asServer);

    QTemporaryDir dir;
    QString bin;
    bool asPostgres = false;
    bool absent_ = false;
    bool running_ = false;
    QString problem_;
};

} // namespace kelto::test

#endif
