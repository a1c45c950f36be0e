#include "mythread.h"

#include "pollinterval.h"
#include "usbmirel.h"

#include <QDebug>

#include <chrono>

MyThread::MyThread(QObject *parent, USBMIREL *device)
    : QThread(parent)
    , usb(device)
{
    qDebug("MyThread Constructor");
}

MyThread::~MyThread()
{
    qDebug("MyThread Destructor");
    // Destroying a running QThread aborts the process; whoever forgot to end
    // the loop gets a clean stop instead.
    requestStop();
    wait();
    syncWithLoopEnd();
}

void MyThread::terminate()
{
    requestStop();
    wait(3000);
    syncWithLoopEnd();
}

void MyThread::stop_work()
{
    working = false;
}

void MyThread::start_work()
{
    working = true;
}

void MyThread::run()
{
    loop();
    // The last thing the thread does: whoever later takes the same lock (see
    // syncWithLoopEnd) is ordered after every access the loop made.
    std::lock_guard<std::mutex> lock(stopMutex);
    loopEnded = true;
}

void MyThread::loop()
{
    for (;;) {
        // Read once per iteration: a switch during the pause below does not
        // change what this iteration does.
        const bool poll = working.load();
        if (!pause())
            return;
        if (poll && !pollOnce())
            return;
    }
}

bool MyThread::syncWithLoopEnd()
{
    // QThread::wait() orders us after the thread's end, but through Qt's own
    // primitives; this lock makes the order explicit in our code, so that
    // the owner may free the device right after (and checkers can see it).
    std::lock_guard<std::mutex> lock(stopMutex);
    return loopEnded;
}

bool MyThread::pollOnce()
{
    // Presence check; its failure reconnects on the next transfer.
    unsigned char identity[2] = {};
    usb->control_receive(255, 0, 0, identity, 2);
    if (stopRequested())
        return false;

    // Both halves are published together at the end of the cycle.
    const bool vrbOk = usb->GetVrb(vrbReceive.data()) == 0;
    auto link = vrbOk ? BallastSnapshot::Link::Live : whyNoReply();
    if (stopRequested())
        return false;

    const bool recordsOk = usb->GetVrBalasts(vrBalastsReceive.data(), kelto::ballast::count) == 0;
    if (!recordsOk && link == BallastSnapshot::Link::Live)
        link = whyNoReply();
    ballastSnapshot().publishCycle(
        vrbOk ? &vrbReceive : nullptr, recordsOk ? &vrBalastsReceive : nullptr, link);

    // Whatever the requests gave: the view shows the snapshot as it is now.
    emit tx_complete();
    return true;
}

BallastSnapshot::Link MyThread::whyNoReply()
{
    using Link = BallastSnapshot::Link;
    switch (UsbDevice::lastLinkError()) {
    case UsbDevice::LinkError::Timeout:
        return Link::NoAnswer;
    case UsbDevice::LinkError::Gone:
        switch (usb->lastConnectFailure()) {
        case UsbDevice::ConnectFailure::NotAccessible:
            return Link::NotAccessible;
        case UsbDevice::ConnectFailure::InUse:
            return Link::InUse;
        default:
            return Link::Gone;
        }
    case UsbDevice::LinkError::Refused:
    case UsbDevice::LinkError::None: // a reply cut short
        break;
    }
    // The bootloader refuses the ballast requests. The refusal closed the
    // link; its serial number, read on a fresh one, tells which program runs.
    if (usb->connect() == 0 && UsbDevice::isBootloaderSerial(usb->serialNumber()))
        return Link::Bootloader;
    return Link::Refused;
}

bool MyThread::pause()
{
    std::unique_lock<std::mutex> lock(stopMutex);
    stopWake.wait_for(lock, std::chrono::milliseconds(kelto::ballastPollIntervalMs()),
        [this] { return stopping; });
    return !stopping;
}

bool MyThread::stopRequested()
{
    std::lock_guard<std::mutex> lock(stopMutex);
    return stopping;
}

void MyThread::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopping = true;
    }
    stopWake.notify_all();
}
