#include "darvo_bootloader.h"

#include <QApplication>
#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// --help and --version are answered before the toolkit starts, so that they
// need no display. The window reads no other option of its own.
int answerInfoOption(int argc, char **argv)
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        help = help || !std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h");
        version = version || !std::strcmp(argv[i], "--version");
    }
    if (!help && !version)
        return -1;
    QByteArray text;
    if (help)
        text = QCoreApplication::translate("main",
            "Usage: kelto [Qt toolkit options]\n"
            "Opens the window that changes the firmware of the Kelto converter and\n"
            "shows what the converter knows about its ballasts.\n"
            "\n"
            "  -h, --help  show this help and exit\n"
            "  --version   show the version and exit\n"
            "\n"
            "The window reads no other options of its own; the standard options of\n"
            "the Qt toolkit apply (for example -platform). kelto-cli does the same\n"
            "work without a window.\n")
                   .toLocal8Bit();
    else
        text = QByteArray("kelto " KELTO_VERSION "\n");
    errno = 0;
    if (std::fputs(text.constData(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "kelto: cannot write to standard output: %s\n",
            errno ? std::strerror(errno) : "write error");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const int answered = answerInfoOption(argc, argv);
    if (answered >= 0)
        return answered;
    QApplication app(argc, argv);
    Darvo_bootloader window;
    window.setWindowTitle(QStringLiteral("Kelto") + QStringLiteral(" v") + QStringLiteral("3.00"));
    window.show();
    return app.exec();
}
