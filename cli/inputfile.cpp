#include "inputfile.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace kelto::cli {

bool readableInput(const QString &command, const QString &path, Console &console)
{
    // Asked without opening it: opening and closing a FIFO would end the
    // writing of the program that feeds it before the build is read.
    const QFileInfo info(path);
    QString why;
    if (info.isDir())
        why = "it is a folder";
#ifdef Q_OS_UNIX
    else if (::access(QFile::encodeName(path).constData(), R_OK) != 0)
        why = QString::fromLocal8Bit(std::strerror(errno));
#else
    else if (!info.isReadable())
        why = "it cannot be read";
#endif
    if (!why.isEmpty()) {
        fail(command, QString("cannot read %1: %2").arg(path, why), console);
        return false;
    }
    return true;
}

void fail(const QString &command, const QString &message, Console &console)
{
    console.err << "kelto-cli " << command << ": " << message << "\n";
    console.err.flush();
}

} // namespace kelto::cli
