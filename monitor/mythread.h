#ifndef KELTO_MONITOR_MYTHREAD_H
#define KELTO_MONITOR_MYTHREAD_H

#include <QThread>

#include <atomic>

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
    void terminate();
    void stop_work();
    void start_work();

protected:
    void run() override;

private:
    std::atomic<bool> working{false};
    USBMIREL *usb;
};

#endif
