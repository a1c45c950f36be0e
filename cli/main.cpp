#include "cli.h"

#include <QCoreApplication>
#include <QTextStream>

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
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    kelto::cli::Console console {out, err, isatty(fileno(stdout)) != 0};
    return kelto::cli::run(app.arguments().mid(1), console);
}
