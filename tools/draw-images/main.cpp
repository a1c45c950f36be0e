// Draws every compiled-in image and the Windows program icon:
//   kelto_draw_images <repository root>
// writes resources/res/images/* and app/kelto.ico there.
#include "icofile.h"
#include "icons.h"
#include "imagewriter.h"
#include "stylepieces.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    // Fonts need a platform, but no display is needed to draw into images.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTextStream err(stderr);
    if (argc != 2) {
        err << "usage: kelto_draw_images <repository root>\n";
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));

    kelto::draw::ImageWriter out(root.filePath("resources/res/images"));
    kelto::draw::drawStylePieces(out);
    kelto::draw::drawLogos(out);
    kelto::draw::drawIcons(out);

    QFile ico(root.filePath("app/kelto.ico"));
    const bool icoOk = ico.open(QIODevice::WriteOnly)
        && ico.write(kelto::draw::icoFile(kelto::draw::programIcon())) > 0;

    QTextStream std(stdout);
    for (const QString &name : out.written())
        std << name << '\n';
    std << out.written().size() << " images, icon " << (icoOk ? "written" : "FAILED") << '\n';
    return out.ok() && icoOk ? 0 : 1;
}
