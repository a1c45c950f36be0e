#include "inputfile.h"

#include <QFile>
#include <QFileInfo>

namespace kelto::cli {

bool readableInput(const QString &command, const QString &path, Console &console)
{
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        fail(command, QString("cannot read %1").arg(path), console);
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
