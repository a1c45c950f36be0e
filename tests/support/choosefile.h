#ifndef KELTO_TEST_CHOOSEFILE_H
#define KELTO_TEST_CHOOSEFILE_H

#include <QString>

class QFileDialog;

namespace kelto::test {

// Chooses `path` in an open file dialog and accepts it, as an operator
// typing the name would. QFileDialog::selectFile alone leaves the name field
// as it is while that field has the focus, and the dialog then accepts
// nothing and stays open.
void chooseFile(QFileDialog *dialog, const QString &path);

} // namespace kelto::test

#endif
