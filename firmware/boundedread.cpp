#include "boundedread.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace kelto::input {

namespace {

// Why `path` is not read, or an empty text. A folder or a block device is
// never an input; a socket cannot be opened like a file.
QString refusedKind(const QString &path, qint64 &size)
{
#ifdef Q_OS_UNIX
    struct stat s;
    if (::stat(QFile::encodeName(path).constData(), &s) == 0) {
        if (S_ISREG(s.st_mode)) {
            size = qint64(s.st_size);
            return QString();
        }
        if (S_ISFIFO(s.st_mode) || S_ISCHR(s.st_mode))
            return QString();
        if (S_ISDIR(s.st_mode))
            return QStringLiteral("it is a folder");
        if (S_ISBLK(s.st_mode))
            return QStringLiteral("it is a block device; only files, pipes and character "
                                  "devices are read");
        return QStringLiteral("it is no file, pipe or character device");
    }
#endif
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("it is a folder");
    if (info.isFile())
        size = info.size();
    return QString();
}

} // namespace

Read readChunks(
    const QString &path, qint64 limit, const std::function<bool(const char *, size_t)> &take)
{
    Read r;
    const QString kind = refusedKind(path, r.size);
    if (!kind.isEmpty()) {
        r.error = QString("cannot read %1: %2").arg(path, kind);
        return r;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        r.error = QString("cannot open %1: %2").arg(path, file.errorString());
        return r;
    }
    char chunk[65536];
    for (;;) {
        const qint64 wanted = std::min<qint64>(qint64(sizeof chunk), limit + 1 - r.bytesRead);
        if (wanted <= 0)
            break;
        const qint64 n = file.read(chunk, wanted);
        if (n < 0) {
            r.error = QString("cannot read %1: %2").arg(path, file.errorString());
            return r;
        }
        if (n == 0)
            break;
        r.bytesRead += n;
        if (!take(chunk, size_t(n)))
            break;
    }
    r.exceeded = r.bytesRead > limit || r.size > limit;
    return r;
}

Read readAll(const QString &path, qint64 limit, QByteArray &bytes)
{
    bytes.clear();
    return readChunks(path, limit, [&bytes](const char *data, size_t n) {
        bytes.append(data, qsizetype(n));
        return true;
    });
}

QString tooLarge(const QString &path, qint64 limit, const QString &what)
{
    return QString("%1 is larger than %2 bytes, the most %3 can hold")
        .arg(path)
        .arg(limit)
        .arg(what);
}

} // namespace kelto::input
