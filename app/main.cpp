#include "darvo_bootloader.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    Darvo_bootloader window;
    window.setWindowTitle(QStringLiteral("Kelto") + QStringLiteral(" v") + QStringLiteral("3.00"));
    window.show();
    return app.exec();
}
