#include "choosefile.h"

#include <QFileDialog>
#include <QLineEdit>

namespace kelto::test {

void chooseFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    if (auto *name = dialog->findChild<QLineEdit *>("fileNameEdit"))
        name->setText(path);
    static_cast<QDialog *>(dialog)->accept();
}

} // namespace kelto::test
