#include "outputfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace kelto::output {

namespace {

bool sameFile(const QString &a, const QString &b)
{
#ifdef Q_OS_UNIX
    // Hard links and bind mounts are the same file under another name.
    struct stat sa;
    struct stat sb;
    if (::stat(QFile::encodeName(a).constData(), &sa) == 0
        && ::stat(QFile::encodeName(b).constData(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

QString kindOf(const QString &path)
{
#ifdef Q_OS_UNIX
    struct stat s;
    if (::stat(QFile::encodeName(path).constData(), &s) == 0) {
        if (S_ISFIFO(s.st_mode))
            return "a FIFO";
        if (S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode))
            return "a device node";
        if (S_ISSOCK(s.st_mode))
            return "a socket";
    }
#endif
    return QFileInfo(path).isDir() ? "a folder" : "not a regular file";
}

} // namespace

QString refusal(const QString &path, const QStringList &inputs)
{
    for (const QString &input : inputs) {
        if (sameFile(path, input))
            return QString("%1 is the input file %2; it would be overwritten").arg(path, input);
    }
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return QString("%1 is %2; only a regular file is replaced").arg(path, kindOf(path));
    return QString();
}

QString write(
    const QString &path, const std::function<bool(QIODevice &)> &writer, const QStringList &inputs)
{
    const QString refused = refusal(path, inputs);
    if (!refused.isEmpty())
        return refused;
    // The file's bytes are made in memory (they are small) and then written
    // unbuffered until all are out: the system writes part of a large block
    // onto an almost full disk and then refuses the rest, and only a write
    // that starts at the refusal reports it, with the system's reason.
    QBuffer bytes;
    bytes.open(QIODevice::WriteOnly);
    if (!writer(bytes))
        return QString("cannot write %1: its contents could not be made").arg(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return QString("cannot create %1: %2").arg(path, file.errorString());
    const QByteArray &data = bytes.data();
    for (qint64 done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return QString("cannot write %1: %2").arg(path, reason);
        }
        done += n;
    }
    if (!file.commit())
        return QString("cannot write %1: %2").arg(path, file.errorString());
    return QString();
}

} // namespace kelto::output
