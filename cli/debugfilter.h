#ifndef KELTO_CLI_DEBUGFILTER_H
#define KELTO_CLI_DEBUGFILTER_H

#include <QtGlobal>

#include <atomic>

namespace kelto::cli {

// While alive, holds back the debug trace (unless asked to pass it to
// stderr) and counts the trace lines the upgrade's outcome needs: a page
// whose read-back failed reports nothing else. Warnings and worse always
// reach stderr. The message handler runs in whichever thread writes.
class DebugFilter
{
public:
    explicit DebugFilter(bool passTrace);
    ~DebugFilter();
    DebugFilter(const DebugFilter &) = delete;
    DebugFilter &operator=(const DebugFilter &) = delete;

    // "page read ERROR" lines seen since the last reset.
    static int pageReadErrors();
    static void resetCounters();

private:
    QtMessageHandler previous;
};

} // namespace kelto::cli

#endif
