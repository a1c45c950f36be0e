#include "clirun.h"

#include "cli.h"

#include <QFile>
#include <QTextStream>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelto::test {

CliResult runCli(const QStringList &arguments, bool terminal)
{
    CliResult result;
    {
        QTextStream out(&result.out);
        QTextStream err(&result.err);
        kelto::cli::Console console {out, err, terminal};
        result.exitCode = kelto::cli::run(arguments, console);
    }
    return result;
}

FifoFeeder::FifoFeeder(const QString &fifo, const QByteArray &bytes)
    : path(fifo)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        return;
    writer = std::thread([fifo, bytes] {
        // Blocks until a reader opens the other end (or the destructor does).
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
        if (fd < 0)
            return;
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        ::close(fd);
    });
}

FifoFeeder::~FifoFeeder()
{
    if (!writer.joinable())
        return;
    // A writer still waiting for its reader is let through and finds none.
    // (An open counts even when closed at once: its writes then fail.)
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    writer.join();
}

} // namespace kelto::test
