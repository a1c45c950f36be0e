#ifndef KELTO_CLI_INTERRUPTION_H
#define KELTO_CLI_INTERRUPTION_H

class Upgrader;

namespace kelto::cli {

// While alive, SIGINT, SIGTERM and SIGHUP ask the upgrade to stop at its
// next safe point instead of killing the process between two transfers:
// the run then ends with its record and the converter in a known state. A
// second signal of the same kind takes its default course.
class Interruption
{
public:
    explicit Interruption(Upgrader &upgrader);
    // Records the first signal only; the caller looks at signal().
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

private:
    void install(Upgrader *upgrader);
};

} // namespace kelto::cli

#endif
