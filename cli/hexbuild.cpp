#include "hexbuild.h"

#include "inputfile.h"

namespace kelto::cli {

bool reportHexResult(
    const QString &command, const QString &hexFile, const hex::Result &result, Console &console)
{
    if (result.ok())
        return true;
    if (result.line == 0)
        fail(command, result.reason, console);
    else
        fail(command, QString("%1:%2: %3").arg(hexFile).arg(result.line).arg(result.reason),
            console);
    return false;
}

void reportOutside(const QString &hexFile, const hex::Result &result, Console &console)
{
    if (result.outsideBytes == 0)
        return;
    console.out << hexFile << ": " << result.outsideBytes
                << " bytes outside the converted windows, left out: "
                << hex::describe(result.outside) << "\n";
}

} // namespace kelto::cli
