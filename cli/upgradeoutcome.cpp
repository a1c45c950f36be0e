#include "upgradeoutcome.h"

#include "upgrader.h"

#include <algorithm>

namespace kelto::cli {

namespace {

bool is(const QString &line, const char *source)
{
    return line == Upgrader::tr(source);
}

} // namespace

void UpgradeOutcome::text(const QString &line)
{
    last = line;
    if (++lines == 1)
        return; // the file name

    // The opening lines of the later steps can follow more than one step.
    if (is(line, "Writting firmware ... ")) {
        step_ = Step::Firmware;
        return;
    }
    if (is(line, "Writting External Flash ... ")) {
        step_ = Step::ExternalWrite;
        return;
    }
    if (is(line, "Verify External Flash ...  ")) {
        step_ = Step::ExternalVerify;
        return;
    }

    switch (step_) {
    case Step::File:
        break;
    case Step::Connect:
        if (!is(line, "USB Timeout\nCheck USB Cable")) {
            serial = line;
            step_ = Step::Identify;
        }
        break;
    case Step::Identify:
        if (!versionSeen) {
            if (!is(line, "Bootloader Version Read Error")) {
                version = line;
                versionSeen = true;
            }
        } else if (is(line, "Bootloader mode")) {
            mode_ = "bootloader";
        } else if (is(line, "Apllication mode")) {
            mode_ = "application";
            step_ = Step::Bootloader;
        }
        break;
    case Step::Firmware:
        if (is(line, "ERROR"))
            pageError = true;
        break;
    case Step::ExternalVerify:
        // The only line after a good read-back; the run then starts the
        // application and ends without another line.
        if (is(line, "OK"))
            step_ = Step::Start;
        break;
    case Step::Bootloader:
    case Step::ExternalWrite:
    case Step::Start:
        break;
    }
}

void UpgradeOutcome::percent(int)
{
    // The first percentage (0) says the file was taken and the connection
    // starts; the firmware step sends one per page written.
    if (step_ == Step::File) {
        step_ = Step::Connect;
        return;
    }
    if (step_ != Step::Firmware)
        return;
    ++written;
    if (pageError) {
        ++mismatches;
        pageError = false;
    }
}

void UpgradeOutcome::finish(int pageReadErrors)
{
    readErrors = pageReadErrors;
    // A verified run that did not end on its "OK" (a line after it from a
    // newer Upgrader) is not taken for a success.
    if (step_ == Step::Start && !is(last, "OK"))
        step_ = Step::ExternalVerify;
    finished = true;
}

QString UpgradeOutcome::unitSerial() const
{
    if (serial.size() == 10 && serial.endsWith('b'))
        return serial.left(9);
    return serial;
}

int UpgradeOutcome::pagesVerified() const
{
    return std::max(0, written - mismatches - readErrors);
}

const char *stepName(UpgradeOutcome::Step step)
{
    switch (step) {
    case UpgradeOutcome::Step::File:
        return "file";
    case UpgradeOutcome::Step::Connect:
        return "connect";
    case UpgradeOutcome::Step::Identify:
        return "identify";
    case UpgradeOutcome::Step::Bootloader:
        return "enter-bootloader";
    case UpgradeOutcome::Step::Firmware:
        return "firmware";
    case UpgradeOutcome::Step::ExternalWrite:
        return "external-write";
    case UpgradeOutcome::Step::ExternalVerify:
        return "external-verify";
    case UpgradeOutcome::Step::Start:
        return "start-application";
    }
    return "";
}

} // namespace kelto::cli
