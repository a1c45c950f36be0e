#ifndef KELTO_UPGRADE_UPGRADER_H
#define KELTO_UPGRADE_UPGRADER_H

#include <QByteArray>
#include <QString>
#include <QThread>

#include <mutex>

class USBMIREL;

// Worker thread that writes one upgrade file into the device per start().
// It reports only through its two signals.
class Upgrader : public QThread
{
    Q_OBJECT

public:
    explicit Upgrader(USBMIREL *usb);
    ~Upgrader() override;

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
    bool readUpgradeFile(const QString &name, QByteArray &image);
    bool connectDevice();
    bool identify(bool &applicationMode);
    bool enterBootloader();
    QByteArray readSerial();
    bool writeFirmware(const QByteArray &firmware);
    bool writeExternalFlash(const QByteArray &external);
    void startApplication();

    USBMIREL *usb;
    // Written by the GUI thread, read by the run at its start.
    std::mutex fileNameMutex;
    QString fileName;
    // Held by run() from start to end. QThread::wait() orders the run before
    // whatever follows it through Qt's own (uninstrumented) lock; taking
    // this one in the destructor makes that order visible to the thread
    // sanitizer as well.
    std::mutex runMutex;
};

#endif
