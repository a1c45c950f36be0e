#ifndef KELTO_UPGRADE_UPGRADEOUTCOME_H
#define KELTO_UPGRADE_UPGRADEOUTCOME_H

#include <QMetaType>
#include <QString>

#include <cstdint>

// How one upgrade run went, as the run itself records it step by step. The
// window shows the run's text lines; the command line's output and its
// record are made from this, never from the texts.
namespace kelto::upgrade {

enum class Step {
    File, // header, version and image block
    Connect, // the first connect loop
    Identify, // serial number, bootloader version, mode
    EnterBootloader, // restart from the application into the bootloader
    Compare, // skip-unchanged: reading what the unit holds
    Firmware, // internal flash pages
    ExternalWrite, // external flash write
    ExternalVerify, // external flash read-back
    StartApplication, // restart into the new application
};

// What the converter is left with when the run ends.
enum class ConverterState {
    Untouched, // no request reached it
    AsFound, // identified only; still in the mode it was found in
    Unknown, // it left the bus during a restart and was not seen again
    Bootloader, // in its bootloader; the application area may be partly written
    NewApplication, // the new firmware runs
};

// The first difference of the external flash read-back.
struct ExternalMismatch
{
    bool found = false;
    uint32_t firstOffset = 0; // external flash address
    int differing = 0; // bytes that differ
    uint8_t expected = 0;
    uint8_t actual = 0;
};

struct Outcome
{
    Step step = Step::File;
    bool success = false;
    // Stopped on request between two transfers.
    bool interrupted = false;
    // The last status line the run showed (dumps are not status lines).
    QString lastLine;
    // What failed and why, for people reading a log; empty on success.
    QString reason;
    QString usbSerial;
    QString bootloaderVersion;
    // The mode the converter was found in: "application", "bootloader",
    // or empty before it was known.
    QString mode;
    int pagesWritten = 0;
    int pagesVerified = 0;
    // Held the file's bytes already, so not written (skip-unchanged).
    int pagesSkipped = 0;
    // External flash chunks written, and skipped as already right.
    int chunksWritten = 0;
    int chunksSkipped = 0;
    ConverterState converter = ConverterState::Untouched;
    ExternalMismatch external;

    // The unit's nine-character serial (the bootloader appends a 'b').
    QString unitSerial() const;
};

constexpr int pageCount = 120;

const char *stepName(Step step);
// "untouched", "as-found", "unknown", "bootloader", "new-application".
const char *stateName(ConverterState state);
// What the operator is to do about the state the converter is left in.
QString stateAdvice(ConverterState state);

} // namespace kelto::upgrade

Q_DECLARE_METATYPE(kelto::upgrade::Outcome)

#endif
