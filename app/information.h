#ifndef KELTO_APP_INFORMATION_H
#define KELTO_APP_INFORMATION_H

#include "ui_information.h"

#include <QDialog>

// About box: product line, logo and the maker's contact block.
class Information : public QDialog, public Ui::DialogInfo
{
public:
    explicit Information(QWidget *parent = nullptr, Qt::WindowFlags flags = {});
};

#endif
