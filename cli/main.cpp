#include "cli.h"
#include "exitcode.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

int main(int argc, char **argv)
{
#ifdef SIGPIPE
    // A reader that went away is a failed write to report, not a reason to
    // die silently in the middle of an upgrade.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QFile outFile;
    outFile.open(stdout, QIODevice::WriteOnly);
    QTextStream out(&outFile);
    QTextStream err(stderr);
    kelto::cli::Console console {out, err, isatty(fileno(stdout)) != 0};
    const int code = kelto::cli::run(app.arguments().mid(1), console);

    // Results that did not reach their reader (disk full, closed pipe) are
    // a failure, whatever the command itself achieved.
    out.flush();
    const bool written = out.status() == QTextStream::Ok && outFile.flush()
        && outFile.error() == QFileDevice::NoError;
    if (!written) {
        std::fprintf(stderr, "kelto-cli: cannot write to standard output: %s\n",
            outFile.errorString().toLocal8Bit().constData());
        return code == kelto::cli::ExitOk ? kelto::cli::ExitFailed : code;
    }
    return code;
}
