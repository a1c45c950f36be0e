#ifndef KELTO_FIRMWARE_BOUNDEDREAD_H
#define KELTO_FIRMWARE_BOUNDEDREAD_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>

// Files the tool reads. Every input has a largest size its format allows,
// and nothing is read past that size plus one byte, which tells a file
// that is too large: a device node that never ends (/dev/zero), a pipe
// fed forever or a huge file costs neither memory nor time. Only regular
// files, pipes and character devices are read, each exactly once, so a
// pipe (`<(cat f.upg)`, /dev/stdin) reads as the file it carries.
namespace kelto::input {

struct Read
{
    // What failed and why, with the system's reason; empty when the input
    // was read (which includes one that went on past the limit).
    QString error;
    qint64 bytesRead = 0;
    // More than the limit was there: limit + 1 bytes were read.
    bool exceeded = false;
    // The size of a regular file, whatever was read of it; -1 for pipes and
    // devices, whose size is only known as far as they were read.
    qint64 size = -1;

    bool ok() const { return error.isEmpty(); }
};

// Reads `path` in pieces handed to `take` until it ends, `take` returns
// false, or limit + 1 bytes have been handed on.
Read readChunks(
    const QString &path, qint64 limit, const std::function<bool(const char *, size_t)> &take);

// The whole input, at most limit + 1 bytes of it, into `bytes`.
Read readAll(const QString &path, qint64 limit, QByteArray &bytes);

// "PATH is larger than N bytes, the most WHAT can hold".
QString tooLarge(const QString &path, qint64 limit, const QString &what);

} // namespace kelto::input

#endif
