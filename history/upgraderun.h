#ifndef KELTO_HISTORY_UPGRADERUN_H
#define KELTO_HISTORY_UPGRADERUN_H

#include "historystore.h"

#include <memory>
#include <optional>

class Upgrader;

namespace kelto::history {

// The history entry of one upgrade run, for every front end: written before
// the first request reaches the converter, completed when the run ends. A
// run whose process dies in between stays in the history as unfinished,
// with its host and process id.
class UpgradeRun
{
public:
    // Opens the store at `location` (see chosenLocation()) and writes the
    // entry; problem() says why when that failed.
    UpgradeRun(const QString &location, const QString &tool, const UpgradeStart &start);
    ~UpgradeRun();

    bool recording() const { return id.has_value(); }
    // What went wrong with the history, for stderr and the run's record;
    // empty while it is kept.
    QString problem() const { return problem_; }
    // Completes the entry with the run's record (its file named as the
    // entry names it); false (problem() says why)
    // when it could not be.
    bool finish(const QJsonObject &record, bool success, const QString &serial);

private:
    QString file;
    std::unique_ptr<Store> store;
    std::optional<qint64> id;
    QString problem_;
};

// The window's firmware change: the entry of the run `upgrader` is about to
// start with `fileName`, completed (from the upgrader's outcome) when its
// thread finishes. Call it in the thread that starts the run, before start().
// Returns what went wrong with the history; the run goes on regardless.
QString recordWindowRun(Upgrader *upgrader, const QString &fileName);

} // namespace kelto::history

#endif
