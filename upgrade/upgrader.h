#ifndef KELTO_UPGRADE_UPGRADER_H
#define KELTO_UPGRADE_UPGRADER_H

#include "upgradeinspection.h"
#include "upgradeoutcome.h"
#include "waitpolicy.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

class USBMIREL;
namespace kelto::upgrade {
class PagePlan;
}

// Worker thread that writes one upgrade file into the device per start().
// It reports through its two signals and, for whoever needs to know how the
// run ended without reading its texts, a structured outcome.
class Upgrader : public QThread
{
    Q_OBJECT

public:
    struct Options
    {
        // After the final restart, wait for the converter to come back
        // running its application, and fail when it does not.
        bool confirmStart = false;
        // On an external flash mismatch, send both 80 KB dumps as text.
        bool mismatchDumps = true;
        // Refuse, before any USB traffic, a file the inspection has
        // findings about (checksums that do not match leave the converter
        // without a startable application); off only when forced.
        bool refuseFindings = true;
        // How the restarts are waited for (the window: the written sleeps).
        kelto::upgrade::WaitPolicy::Kind waits = kelto::upgrade::WaitPolicy::Kind::Fixed;
        // Pages and external flash chunks that already hold the file's
        // bytes are read, not written; when nothing differs, nothing is
        // written and a running application is left running.
        bool skipUnchanged = false;
    };

    explicit Upgrader(USBMIREL *usb);
    ~Upgrader() override;

    // Applies from the next start().
    void setOptions(const Options &options);
    // The next run writes this file as already read and inspected, instead
    // of reading its file name: a pipe can only be read once.
    void setFile(const kelto::upgradefile::Inspection &file);
    // The run stops at its next safe point: between two pages or two steps,
    // never inside a transfer. Lock-free, so a signal handler may call it;
    // slotSetFileName() clears it for the next run.
    void requestStop();
    // Of the run going on or the last one; any thread.
    kelto::upgrade::Outcome outcome() const;

signals:
    void sendText(QString s);
    void sendPercent(int percent);

public slots:
    void slotSetFileName(QString fileName);

protected:
    void run() override;

private:
    // The steps of one run; each returns false when the run has to end (its
    // text line has been emitted by then).
    bool readUpgradeFile(const QString &name,
        const std::optional<kelto::upgradefile::Inspection> &given, QByteArray &image);
    bool connectDevice();
    bool identify(bool &applicationMode);
    bool enterBootloader();
    QByteArray readSerial();
    // Reads what the unit holds and leaves out of `plan` what need not be
    // written; `state` is the converter's if the reads fail.
    bool readUnit(kelto::upgrade::PagePlan &plan, const QByteArray &encodedExternal,
        kelto::upgrade::ConverterState state);
    // `state` after a failed read, unless the unit was lost.
    kelto::upgrade::ConverterState lostOr(kelto::upgrade::ConverterState state);
    bool writeFirmware(const kelto::upgrade::PagePlan &plan);
    bool writeExternalFlash(const QByteArray &external, const kelto::upgrade::PagePlan &plan);
    // The last write of a run: the page that makes the application
    // startable, read back.
    bool commitApplication(const kelto::upgrade::PagePlan &plan);
    // Where a unit whose link was lost before the commit is: back in its
    // bootloader, or unknown.
    kelto::upgrade::ConverterState whereLost();
    bool startApplication();
    // `asked`: the clock when the start was requested.
    bool confirmApplication(bool refused, uint64_t asked);

    enum class PageResult {
        Verified,
        Differs, // read back other than written
        Unread, // written, but the read-back was refused
        ReadLost, // written; the unit left or stopped answering in the read-back
        WriteRefused,
        WriteLost,
    };
    // One application page (pageSize bytes at `offset` in the area),
    // written and read back.
    PageResult writePage(const unsigned char *contents, uint32_t offset);

    // A status line: sent to the window and kept as the outcome's last line.
    void say(const QString &text);
    // Records the outcome of the run so far under its lock.
    template<typename F> void record(F change);
    void enter(kelto::upgrade::Step step);
    // Ends the run as failed with `reason`, leaving the converter `state`.
    bool failed(const QString &reason, kelto::upgrade::ConverterState state);
    // True (and the outcome says so) when a stop was requested.
    bool stopped(kelto::upgrade::ConverterState state);

    USBMIREL *usb;
    // Written by the GUI thread, read by the run at its start.
    std::mutex fileNameMutex;
    QString fileName; // guarded by fileNameMutex
    std::optional<kelto::upgradefile::Inspection> givenFile; // guarded by fileNameMutex
    Options options; // guarded by fileNameMutex
    Options runOptions; // the run's own copy
    std::atomic<bool> stopRequested {false};
    static_assert(std::atomic<bool>::is_always_lock_free);
    mutable std::mutex outcomeMutex;
    kelto::upgrade::Outcome outcome_; // guarded by outcomeMutex
    // Held by run() from start to end. QThread::wait() orders the run before
    // whatever follows it through Qt's own (uninstrumented) lock; taking
    // this one in the destructor makes that order visible to the thread
    // sanitizer as well.
    std::mutex runMutex;
};

#endif
