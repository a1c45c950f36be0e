#ifndef KELTO_CLI_HISTORYOPTIONS_H
#define KELTO_CLI_HISTORYOPTIONS_H

#include "commandline.h"
#include "console.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kelto::cli {

// --history PATH|URL, and for the commands that write it --require-history.
void addHistoryOptions(CommandLine &line, bool writes);
// The store the command line chooses: --history, else KELTO_HISTORY, else
// the default file.
QString historyLocation(const CommandLine &line);
// The help text of --history, its lines indented to `column` as the
// command's other options.
QString historyHelp(int column);

// A history that cannot be written, named on stderr; the command goes on.
void warnWithoutHistory(const QString &command, const QString &problem, Console &console);

// make-bootbin's serials, recorded as issued before any image is written.
// Nothing when it goes on; the exit code otherwise.
std::optional<int> recordIssuedSerials(const QString &command, const CommandLine &line,
    const QStringList &serials, const QString &buildFile, Console &console);

} // namespace kelto::cli

#endif
