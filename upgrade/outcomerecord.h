#ifndef KELTO_UPGRADE_OUTCOMERECORD_H
#define KELTO_UPGRADE_OUTCOMERECORD_H

#include "upgradeoutcome.h"

#include <QJsonObject>

namespace kelto::upgrade {

// The fields of a run's record that come from its outcome, as kelto-cli's
// --json prints them and the history keeps them. interrupted: the name of
// the signal that stopped the run, empty when none did.
QJsonObject outcomeRecord(const Outcome &outcome, const QString &interrupted);

} // namespace kelto::upgrade

#endif
