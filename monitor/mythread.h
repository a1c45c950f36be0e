#ifndef KELTO_MONITOR_MYTHREAD_H
#define KELTO_MONITOR_MYTHREAD_H

#include "ballastsnapshot.h"

#include <QThread>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>

class USBMIREL;

// Polls the device's ballast data every 500 ms while switched on and
// announces each cycle with tx_complete().
class MyThread : public QThread
{
    Q_OBJECT

public:
    MyThread(QObject *parent, USBMIREL *device);
    ~MyThread() override;

signals:
    void tx_complete();

public slots:
    // Asks the loop to end at its next safe point and waits up to 3000 ms.
    // Never kills the thread: a transfer in progress finishes first, so the
    // transport lock is released and the snapshot stays whole. A thread once
    // terminated stays so; a later start() returns at once.
    void terminate();
    void stop_work();
    void start_work();

protected:
    void run() override;

private:
    void loop();
    // Takes the lock the loop releases last; true once the loop has ended.
    bool syncWithLoopEnd();
    // One reading of the device; false when a stop was asked for meanwhile.
    bool pollOnce();
    // Why the ballast request just made got no complete reply.
    BallastSnapshot::Link whyNoReply();
    // Sleeps for the poll interval; false (at once) when asked to stop.
    bool pause();
    bool stopRequested();
    void requestStop();

    std::atomic<bool> working {false};
    USBMIREL *usb;

    std::mutex stopMutex;
    std::condition_variable stopWake;
    bool stopping = false; // guarded by stopMutex
    bool loopEnded = false; // guarded by stopMutex

    // Receive buffers of the polling thread alone; only a complete reply is
    // copied into the shared snapshot.
    std::array<unsigned char, kelto::ballast::vrbSize> vrbReceive {};
    std::array<unsigned char, kelto::ballast::vrBalastsSize> vrBalastsReceive {};
};

#endif
