#ifndef KELTO_CLI_DEBUGFILTER_H
#define KELTO_CLI_DEBUGFILTER_H

#include <QtGlobal>

namespace kelto::cli {

// While alive, holds back the debug trace and the toolkit's warnings
// (unless asked to pass them to stderr): the commands say themselves what
// failed and why. Critical messages always reach stderr. The message
// handler runs in whichever thread writes.
class DebugFilter
{
public:
    explicit DebugFilter(bool passTrace);
    ~DebugFilter();
    DebugFilter(const DebugFilter &) = delete;
    DebugFilter &operator=(const DebugFilter &) = delete;

private:
    QtMessageHandler previous;
};

} // namespace kelto::cli

#endif
