#ifndef KELTO_UPGRADE_UPGRADER_H
#define KELTO_UPGRADE_UPGRADER_H

#include <QString>
#include <QThread>

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
    USBMIREL *usb;
    QString fileName;
};

#endif
