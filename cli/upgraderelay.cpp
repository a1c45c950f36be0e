#include "upgraderelay.h"

#include <utility>

namespace kelto::cli {

UpgradeRelay::UpgradeRelay(Handler handler)
    : handler(std::move(handler))
{
}

void UpgradeRelay::post(Report report)
{
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back(std::move(report));
    if (!wakeupPending) {
        wakeupPending = true;
        QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
    }
}

void UpgradeRelay::drain()
{
    std::deque<Report> reports;
    {
        std::lock_guard<std::mutex> lock(mutex);
        reports.swap(queue);
        wakeupPending = false;
    }
    for (const Report &r : reports)
        handler(r);
}

} // namespace kelto::cli
