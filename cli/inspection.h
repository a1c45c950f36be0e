#ifndef KELTO_CLI_INSPECTION_H
#define KELTO_CLI_INSPECTION_H

#include "upgradeinspection.h"

namespace kelto::cli {

using upgradefile::hex32;
using upgradefile::inspectFile;
using upgradefile::Inspection;

} // namespace kelto::cli

#endif
