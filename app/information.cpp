#include "information.h"

#include "darvo_bootloader.h"

Information::Information(QWidget *parent, Qt::WindowFlags flags)
    : QDialog(parent, flags)
{
    setupUi(this);
}

void Darvo_bootloader::slotShowInfo(bool)
{
    Information info(this);
    info.exec();
}
