#ifndef KELTO_FIRMWARE_OUTPUTFILE_H
#define KELTO_FIRMWARE_OUTPUTFILE_H

#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

// Files the tool makes. They are written aside and renamed over the old one
// at the end, so a failed write leaves neither a truncated file nor a lost
// earlier one; and only a regular file is ever replaced: renaming over a
// device node, a FIFO or a folder would destroy it (as root, /dev/full
// would become a plain file).
namespace kelto::output {

// Why `path` must not be written, or an empty text: it is one of `inputs`
// (the same file under any name), or it exists and is no regular file.
QString refusal(const QString &path, const QStringList &inputs = {});

// Checks refusal(), then writes through `write` (false when it failed) and
// replaces the file. Empty, or what failed and why.
QString write(const QString &path, const std::function<bool(QIODevice &)> &write,
    const QStringList &inputs = {});

} // namespace kelto::output

#endif
