// Placeholder until the polling loop lands.
#include "mythread.h"

MyThread::MyThread(QObject *parent, USBMIREL *device) : QThread(parent), usb(device) {}
MyThread::~MyThread() = default;
void MyThread::terminate() { requestInterruption(); wait(3000); }
void MyThread::stop_work() { working = false; }
void MyThread::start_work() { working = true; }
void MyThread::run()
{
    while (!isInterruptionRequested())
        msleep(10);
}
