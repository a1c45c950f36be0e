#ifndef KELTO_CLI_UPGRADERELAY_H
#define KELTO_CLI_UPGRADERELAY_H

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <mutex>

namespace kelto::cli {

// Hands the Upgrader's reports from its thread to the thread that prints
// them. The reports travel in a queue under our own lock and the event loop
// only carries an empty wake-up: the hand-over inside Qt's event queue is
// invisible to ThreadSanitizer, ours is not.
class UpgradeRelay : public QObject
{
    Q_OBJECT

public:
    struct Report
    {
        // ComparePercent: the external flash read before anything is
        // written (--skip-unchanged).
        enum Kind { Text, FirmwarePercent, WritePercent, ReadPercent, ComparePercent, Finished };
        Kind kind = Text;
        QString text;
        int percent = 0;
    };
    using Handler = std::function<void(const Report &)>;

    // handler runs in the relay's thread, in the order the reports came.
    explicit UpgradeRelay(Handler handler);

    // Any thread.
    void post(Report report);

private slots:
    void drain();

private:
    Handler handler;
    std::mutex mutex;
    std::deque<Report> queue; // guarded by mutex
    bool wakeupPending = false; // guarded by mutex
};

} // namespace kelto::cli

#endif
