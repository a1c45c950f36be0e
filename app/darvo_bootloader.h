#ifndef KELTO_APP_DARVO_BOOTLOADER_H
#define KELTO_APP_DARVO_BOOTLOADER_H

#include <QMainWindow>

#include <cstdint>

class USBMIREL;
class Upgrader;
class ArthurStyle;
class MyThread;
class BallastView;
class Ui_Darvo_bootloaderClass;

// The program's one window. Its slots are defined beside the subsystems that
// own them (memory, external flash and status commands here in app/, image
// files in firmware/, firmware change in upgrade/, ballast view in monitor/).
// The slot order below is the meta-object order and must not change.
class Darvo_bootloader : public QMainWindow
{
    Q_OBJECT

public:
    explicit Darvo_bootloader(QWidget *parent = nullptr);
    ~Darvo_bootloader() override;

public slots:
    void slotpushButtonConnect(bool t);
    void slotpushButtonDisconnect(bool t);
    void slotpushButtonRead(bool t);
    void slotpushButtonWrite(bool t);
    void slotpushButtonWritePage(bool t);
    void slotpushButtonWriteExtFlashBin(bool t);
    void slotpushButtonRunApplication(bool t);
    void slotpushButtonWriteExternalFlash(bool t);
    void slotpushButtonReadExternalFlash(bool t);
    void slotpushButtonCreateUpg(bool t);
    void slotpushButtonCreateBootBin(bool t);
    void slotpushButtonStatusGet(bool t);
    void slotpushButtonStatusSet(bool t);
    void slotpushButtonStatusClr(bool t);
    void slotTimeout();
    void slotpushButtonCHF(bool t);
    void slotShowInfo(bool t);
    void slotTabChange(int index);
    void slotPolish(bool t);
    void slotEnglish(bool t);
    void slotpushButtonGetVrb(bool t);
    void slotpushButtonGetVrBalasts(bool t);
    void slotVrBalastRefresh();
    void slotTabChanged(int tab_index);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // Stops the polling thread and waits for it; used by every way out.
    void stopPolling();
    // Asked by a close while a firmware change runs: false keeps the window
    // (the operator said no, or the run is stopping and the window closes
    // once it has ended); true lets the close go on.
    bool closeDuringRun();

    USBMIREL *device = nullptr;
    Upgrader *upgrader = nullptr;
    Ui_Darvo_bootloaderClass *ui = nullptr;
    int32_t chfStep = 0;
    // The operator chose to stop the running firmware change and close.
    bool closeAfterRun = false;
    // Runs whose end has reached the window.
    int runsEnded = 0;
    ArthurStyle *arthurStyle = nullptr;
    MyThread *myThread = nullptr;
    // Keeps the ballast page on screen; made on the first refresh as a child
    // of textBrowserVrb, which deletes it.
    BallastView *ballastView = nullptr;
};

#endif
