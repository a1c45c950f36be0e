#ifndef KELTO_CLI_UPGRADEALL_H
#define KELTO_CLI_UPGRADEALL_H

#include "console.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace kelto::cli {

// upgrade --all: the file is read and checked once, then every converter
// present is upgraded by its own kelto-cli process (upgrade --serial), so
// that no unit's transfers wait for another's and a unit that fails, is
// unplugged or hangs ends only its own process.
// unitOptions go to every unit's command line (the history's, --skip-unchanged).
int upgradeAll(
    const QString &path, bool json, bool force, const QStringList &unitOptions, Console &console);

// In a unit's process: when its station is gone (killed, say) the record
// cannot reach the station's log through it; it is appended there directly
// (the station hands its units its output), with the file as the operator
// named it.
void keepRecordIfStationGone(QJsonObject record);
// Whether this process is a unit of a station.
bool isStationUnit();

} // namespace kelto::cli

#endif
