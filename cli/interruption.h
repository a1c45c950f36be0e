#ifndef KELTO_CLI_INTERRUPTION_H
#define KELTO_CLI_INTERRUPTION_H

class Upgrader;

namespace kelto::cli {

// While alive, SIGINT, SIGTERM and SIGHUP ask the upgrade to stop at its
// next safe point instead of killing the process between two transfers:
// the run then ends with its record and the converter in a known state. A
// second signal of the same kind takes its default course, except in a
// station and in its units, which keep catching.
class Interruption
{
public:
    explicit Interruption(Upgrader &upgrader);
    // A station's: records the first signal and passes it on at once to
    // every process given to forwardTo(), once each; later signals are
    // caught too, so that the station stays to collect its units' records
    // (they stop after their transfer in flight whatever comes next).
    Interruption();
    ~Interruption();
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;

    // From now on the signals ask `upgrader` to stop (null: only recorded);
    // one caught already asks at once. Detach before the upgrader goes.
    void attach(Upgrader *upgrader);
    // The first signal caught, or 0.
    static int signal();
    // "SIGINT", "SIGTERM", "SIGHUP".
    static const char *name(int signal);
    // A unit process of the station; signalled at once if a signal came
    // already. False when the table is full (forwardPending() still
    // reaches the process then).
    static bool forwardTo(long pid);
    // A unit process that ended: its number may be another's next.
    static void forget(long pid);
    // Passes the first signal on to every registered process that has not
    // had it yet; called from the station's loop as a safety net.
    static void forwardPending();

private:
    void install(Upgrader *upgrader);
};

} // namespace kelto::cli

#endif
