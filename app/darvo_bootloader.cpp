#include "darvo_bootloader.h"

#include "arthurstyle.h"
#include "mythread.h"
#include "ui_darvo_bootloader.h"
#include "upgrader.h"
#include "usbmirel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QMessageBox>
#include <QPushButton>

Darvo_bootloader::Darvo_bootloader(QWidget *parent)
    : QMainWindow(parent)
{
    // 1-2. The form: every widget, text and tab 0 selected.
    ui = new Ui_Darvo_bootloaderClass;
    ui->setupUi(this);

    // 3. The style, on this window only. Parented to the window so that it is
    // released after every widget of the window (they were all created
    // before it), never while one of them may still ask it for anything.
    arthurStyle = new ArthurStyle;
    arthurStyle->setParent(this);
    setStyle(arthurStyle);

    // 4.
    chfStep = 0;

    // 5. Service commands are built and wired but not offered to operators.
    ui->pushButtonRead->setVisible(false);
    ui->pushButtonReadExternalFlash->setVisible(false);
    ui->pushButtonWrite->setVisible(false);
    ui->pushButtonWriteExternalFlash->setVisible(false);
    ui->pushButtonWriteExtFlashBin->setVisible(false);
    ui->pushButtonWritePage->setVisible(false);
    ui->pushButtonGetDmx->setVisible(false);
    ui->pushButtonStatusClr->setVisible(false);
    ui->pushButtonStatusGet->setVisible(false);
    ui->pushButtonStatusSet->setVisible(false);
    ui->pushButtonRunApplication->setVisible(false);

    // 6. The one device object; opens nothing yet.
    device = new USBMIREL;

    // 7. Connections 1 to 21.
    QObject::connect(
        ui->pushButtonConnect, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonConnect(bool)));
    QObject::connect(ui->pushButtonDisconnect, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonDisconnect(bool)));
    QObject::connect(
        ui->pushButtonRead, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonRead(bool)));
    QObject::connect(
        ui->pushButtonWrite, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonWrite(bool)));
    QObject::connect(
        ui->pushButtonWritePage, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonWritePage(bool)));
    QObject::connect(ui->pushButtonRunApplication, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonRunApplication(bool)));
    QObject::connect(ui->pushButtonReadExternalFlash, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonReadExternalFlash(bool)));
    QObject::connect(ui->pushButtonWriteExternalFlash, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonWriteExternalFlash(bool)));
    QObject::connect(ui->pushButtonWriteExtFlashBin, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonWriteExtFlashBin(bool)));
    QObject::connect(
        ui->pushButtonCreateUpg, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonCreateUpg(bool)));
    QObject::connect(ui->pushButtonCreateBootBin, SIGNAL(clicked(bool)), this,
        SLOT(slotpushButtonCreateBootBin(bool)));
    QObject::connect(
        ui->pushButtonStatusGet, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonStatusGet(bool)));
    QObject::connect(
        ui->pushButtonStatusSet, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonStatusSet(bool)));
    QObject::connect(
        ui->pushButtonStatusClr, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonStatusClr(bool)));
    QObject::connect(ui->pushButtonCHF, SIGNAL(clicked(bool)), this, SLOT(slotpushButtonCHF(bool)));
    QObject::connect(ui->actionDarvo_info, SIGNAL(triggered(bool)), this, SLOT(slotShowInfo(bool)));
    QObject::connect(ui->actionClose, SIGNAL(triggered()), this, SLOT(close()));
    QObject::connect(ui->tabWidget, SIGNAL(currentChanged(int)), this, SLOT(slotTabChange(int)));
    QObject::connect(ui->actionPolish, SIGNAL(triggered(bool)), this, SLOT(slotPolish(bool)));
    QObject::connect(ui->actionEnglish, SIGNAL(triggered(bool)), this, SLOT(slotEnglish(bool)));
    QObject::connect(ui->tabWidget, SIGNAL(currentChanged(int)), this, SLOT(slotTabChanged(int)));

    // 8.
    ui->pushButtonConnect->setVisible(false);
    ui->pushButtonDisconnect->setVisible(false);
    ui->pushButtonCreateBootBin->setVisible(false);
    ui->pushButtonCreateUpg->setDisabled(true);
    ui->pushButtonCreateUpg->setVisible(false);

    // 9. The upgrade thread (connections 22, 23), then the external flash
    // progress coupling (24, 25) for the Settings tab shown at start.
    upgrader = new Upgrader(device);
    // The last line is "OK" only once the converter is seen running the new
    // firmware, as for kelto-cli upgrade.
    Upgrader::Options upgradeOptions;
    upgradeOptions.confirmStart = true;
    upgrader->setOptions(upgradeOptions);
    QObject::connect(upgrader, SIGNAL(sendText(QString)), ui->txt, SLOT(append(QString)));
    QObject::connect(upgrader, SIGNAL(sendPercent(int)), ui->progressBarFlash, SLOT(setValue(int)));
    QObject::connect(device, SIGNAL(sendPercentExtFlashWrite(int)), ui->progressBarExtFlashWr,
        SLOT(setValue(int)));
    QObject::connect(device, SIGNAL(sendPercentExtFlashRead(int)), ui->progressBarExtFlashRd,
        SLOT(setValue(int)));
    // A close the operator confirmed during a run happens once it has ended.
    QObject::connect(upgrader, &QThread::finished, this, [this] {
        ++runsEnded;
        if (!closeAfterRun)
            return;
        // The run has emitted its end; wait() returns once it has returned.
        upgrader->wait();
        close();
    });

    // 10. The ballast polling thread, running from now on (connection 26)...
    myThread = new MyThread(this, device);
    myThread->start(QThread::LowestPriority);
    QObject::connect(myThread, SIGNAL(tx_complete()), this, SLOT(slotVrBalastRefresh()));

    // 11. ...but idle until the ballast tab is shown.
    myThread->stop_work();
}

Darvo_bootloader::~Darvo_bootloader()
{
    // The language actions end the event loop without a close event, and a
    // running upgrade still uses the device: both threads must be finished
    // before the device object goes away.
    stopPolling();
    if (upgrader)
        upgrader->wait();

    delete device;
    device = nullptr;
    delete ui;
    ui = nullptr;
    delete upgrader;
    upgrader = nullptr;
}

void Darvo_bootloader::stopPolling()
{
    if (!myThread)
        return;
    myThread->stop_work();
    myThread->terminate();
    myThread->wait();
}

void Darvo_bootloader::closeEvent(QCloseEvent *event)
{
    qDebug() << "Darvo_bootloader::closeEvent ( QCloseEvent * event )";
    // The window never goes while the converter is being written to: the
    // operator would take the change for ended and unplug a unit whose
    // firmware is half written.
    if (upgrader && upgrader->isRunning() && !closeDuringRun()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    stopPolling();
}

bool Darvo_bootloader::closeDuringRun()
{
    if (closeAfterRun)
        return false; // already stopping; the window closes when it has
    QMessageBox box(QMessageBox::Warning, tr("Firmware Change"),
        tr("A firmware change is running. The window cannot close while the converter is "
           "being written to.\n\nStop the change and close? The page or chunk being written is "
           "finished first; the converter is then left in its bootloader unless the new firmware "
           "was already completely written. Running the firmware change again completes it."),
        QMessageBox::NoButton, this);
    QPushButton *stop = box.addButton(tr("Stop and close"), QMessageBox::DestructiveRole);
    QPushButton *keep = box.addButton(tr("Keep running"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    const int ended = runsEnded;
    box.exec();
    if (box.clickedButton() != stop)
        return false;
    // The run may have ended while the question was open.
    if (runsEnded != ended) {
        upgrader->wait();
        return true;
    }
    closeAfterRun = true;
    upgrader->requestStop();
    ui->txt->append(tr("Stopping the firmware change; the window closes once it has stopped."));
    return false;
}

void Darvo_bootloader::slotPolish(bool)
{
    qDebug() << "Darvo_bootloader::slotPolish(bool t)";
    QCoreApplication::exit(-11);
}

void Darvo_bootloader::slotEnglish(bool)
{
    qDebug() << "Darvo_bootloader::slotEnglish(bool t)";
    QCoreApplication::exit(-12);
}
