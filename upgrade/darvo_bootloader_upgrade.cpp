// The window's firmware change command and its timed restart sequence.
#include "darvo_bootloader.h"

#include "ui_darvo_bootloader.h"
#include "upgrader.h"
#include "upgraderun.h"
#include "usbmirel.h"

#include <QDebug>
#include <QFileDialog>
#include <QTimer>

namespace {

enum TimerState : int32_t {
    TIMER_STATE_NULL = 0,
    TIMER_STATE_DISCONNECT1,
    TIMER_STATE_CONNECT1,
    TIMER_STATE_RUN_BOOTLOADER,
    TIMER_STATE_DISCONNECT2,
    TIMER_STATE_CONNECT_BOOTLOADER,
    TIMER_STATE_PROGRAM,
};

} // namespace

void Darvo_bootloader::slotpushButtonCHF(bool)
{
    qDebug() << "Darvo_bootloader::slotpushButtonCHF(bool t)";
    if (!upgrader)
        return;
    // A run reads its file name once, at its start; a click during a run
    // would only reset the bars under it and ask for a file it never uses.
    if (upgrader->isRunning())
        return;

    ui->progressBarFlash->setValue(0);
    ui->progressBarExtFlashWr->setValue(0);
    ui->progressBarExtFlashRd->setValue(0);

    const QString name
        = QFileDialog::getOpenFileName(nullptr, tr("Open File"), ".", tr("Upg (*.upg)"));
    // A cancelled dialog gives a null name, which ends the run at once.
    upgrader->slotSetFileName(name);
    // The history's entry comes before the converter is touched; a store
    // that cannot be written is told, and the change goes on.
    if (!name.isEmpty()) {
        const QString problem = kelto::history::recordWindowRun(upgrader, name);
        if (!problem.isEmpty()) {
            qWarning("%s", qPrintable(problem));
            ui->txt->append(problem);
        }
    }
    upgrader->start(QThread::InheritPriority);
}

void Darvo_bootloader::slotTimeout()
{
    qDebug() << "Darvo_bootloader::slotTimeout(void)";
    // Each step stores the next state before its device operation, and arms
    // the next step only after the operation has returned.
    switch (chfStep) {
    case TIMER_STATE_NULL:
        qDebug() << "TIMER_STATE_NULL";
        chfStep = TIMER_STATE_DISCONNECT1;
        return;
    case TIMER_STATE_DISCONNECT1:
        qDebug() << "TIMER_STATE_DISCONNECT1";
        chfStep = TIMER_STATE_CONNECT1;
        device->disconnect();
        break;
    case TIMER_STATE_CONNECT1:
        qDebug() << "TIMER_STATE_CONNECT1";
        chfStep = TIMER_STATE_RUN_BOOTLOADER;
        device->connect();
        break;
    case TIMER_STATE_RUN_BOOTLOADER:
        qDebug() << "TIMER_STATE_RUN_BOOTLOADER";
        chfStep = TIMER_STATE_DISCONNECT2;
        device->RunApplication();
        break;
    case TIMER_STATE_DISCONNECT2:
        qDebug() << "TIMER_STATE_DISCONNECT2";
        chfStep = TIMER_STATE_CONNECT_BOOTLOADER;
        device->disconnect();
        break;
    case TIMER_STATE_CONNECT_BOOTLOADER:
        qDebug() << "TIMER_STATE_CONNECT_BOOTLOADER";
        chfStep = TIMER_STATE_PROGRAM;
        device->connect();
        break;
    case TIMER_STATE_PROGRAM:
        qDebug() << "TIMER_STATE_PROGRAM";
        chfStep = TIMER_STATE_NULL;
        break;
    default:
        return;
    }
    QTimer::singleShot(1000, this, SLOT(slotTimeout()));
}
