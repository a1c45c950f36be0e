#ifndef KELTO_CLI_UPGRADEOUTCOME_H
#define KELTO_CLI_UPGRADEOUTCOME_H

#include <QString>

namespace kelto::cli {

// Follows one Upgrader run through its signals, in the order they arrive,
// and works out how it ended. The Upgrader reports only text lines and
// percentages, so the step is told by the lines that open each step and the
// texts are compared in the Upgrader's own translation context.
class UpgradeOutcome
{
public:
    enum class Step {
        File, // header and version checks
        Connect, // the first connect loop
        Identify, // serial number, bootloader version, mode
        Bootloader, // restart from the application into the bootloader
        Firmware, // internal flash pages
        ExternalWrite, // external flash write
        ExternalVerify, // external flash read-back
        Start, // everything verified; the new application started
    };

    void text(const QString &line);
    // sendPercent of the internal flash write.
    void percent(int value);
    // The run's thread has finished. pageReadErrors: pages whose read-back
    // failed, which the run reports on its debug trace only.
    void finish(int pageReadErrors);

    bool success() const { return finished && step_ == Step::Start; }
    Step step() const { return step_; }
    const QString &lastLine() const { return last; }
    // The unit's nine-character serial number (the bootloader reports it
    // with a 'b' appended), or the serial text as it came when it fits
    // neither form.
    QString unitSerial() const;
    const QString &usbSerial() const { return serial; }
    const QString &bootloaderVersion() const { return version; }
    // "application", "bootloader", or empty before the mode was known.
    const QString &mode() const { return mode_; }
    int pagesWritten() const { return written; }
    int pagesVerified() const;

private:
    Step step_ = Step::File;
    int lines = 0;
    QString last;
    QString serial;
    QString version;
    bool versionSeen = false;
    QString mode_;
    int written = 0;
    int mismatches = 0;
    int readErrors = 0;
    // An "ERROR" line of the page being written: a mismatch when the page's
    // percentage follows, a write failure when the run ends instead.
    bool pageError = false;
    bool finished = false;
};

const char *stepName(UpgradeOutcome::Step step);

} // namespace kelto::cli

#endif
