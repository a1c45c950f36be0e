// The window's ballast view: the page built from the polling thread's
// snapshot, the switch of the thread with the tab, and the two one-off reads.
#include "darvo_bootloader.h"

#include "ballastpage.h"
#include "ballastsnapshot.h"
#include "ballastview.h"
#include "dumpbuffer.h"
#include "mythread.h"
#include "streamline.h"
#include "ui_darvo_bootloader.h"
#include "usbmirel.h"

#include <array>

void Darvo_bootloader::slotpushButtonGetVrb(bool)
{
    std::array<unsigned char, kelto::ballast::vrbSize> buffer {};
    if (device->GetVrb(buffer.data()) == 0)
        ui->txt->append(QString::fromLatin1(dumpBuffer(buffer.data(), int(buffer.size()))));
    else
        ui->txt->append(tr("Error"));
}

void Darvo_bootloader::slotpushButtonGetVrBalasts(bool)
{
    std::array<unsigned char, kelto::ballast::vrBalastsSize> buffer {};
    if (device->GetVrBalasts(buffer.data(), kelto::ballast::count) == 0)
        ui->txt->append(QString::fromLatin1(dumpBuffer(buffer.data(), int(buffer.size()))));
    else
        ui->txt->append(tr("Error"));
}

void Darvo_bootloader::slotVrBalastRefresh()
{
    kelto::StreamLine() << "Darvo_bootloader::slotVrBalastRefresh(void)";
    // A copy taken under the snapshot's short lock: the polling thread may
    // already be receiving its next cycle. Bytes that are not live are not
    // shown: the page says why instead.
    const BallastPage page = buildBallastPage(ballastSnapshot().read());
    if (!ballastView)
        ballastView = new BallastView(ui->textBrowserVrb);
    ballastView->show(page);
}

void Darvo_bootloader::slotTabChanged(int tab_index)
{
    if (tab_index == 1)
        myThread->start_work();
    else
        myThread->stop_work();
}
