// A script runner preloaded into the unchanged program (LD_PRELOAD), so that
// tests and demos can drive the real executable: the program itself reads no
// options. The script comes from KELTO_DRIVER, commands separated by ';':
//
//   wait:MS            let the event loop run for MS milliseconds
//   trigger:NAME       trigger the QAction with that object name
//   click:NAME         click the QPushButton with that object name
//   tab:INDEX          make INDEX the current tab of "tabWidget"
//   shot:PATH          save a picture of the main window to PATH
//   close              close the main window (as File > Close does)
//
// Nothing happens unless KELTO_DRIVER is set.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QMainWindow>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

QMainWindow *mainWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *mw = qobject_cast<QMainWindow *>(w))
            return mw;
    return nullptr;
}

void fail(const QString &why)
{
    std::fprintf(stderr, "kelto-driver: %s\n", qPrintable(why));
    QCoreApplication::exit(99);
}

void runStep(std::shared_ptr<QStringList> steps)
{
    if (steps->isEmpty())
        return;
    QMainWindow *w = mainWindow();
    if (!w || !w->isVisible()) {
        // The window is not up yet: look again shortly.
        QTimer::singleShot(20, [steps] { runStep(steps); });
        return;
    }
    const QString step = steps->takeFirst();
    const QString verb = step.section(':', 0, 0).trimmed();
    const QString arg = step.section(':', 1).trimmed();
    int next = 0;
    if (verb == "wait") {
        next = arg.toInt();
    } else if (verb == "trigger") {
        auto *a = w->findChild<QAction *>(arg);
        if (!a)
            return fail("no action " + arg);
        a->trigger();
    } else if (verb == "click") {
        auto *b = w->findChild<QAbstractButton *>(arg);
        if (!b)
            return fail("no button " + arg);
        b->click();
    } else if (verb == "tab") {
        auto *t = w->findChild<QTabWidget *>("tabWidget");
        if (!t)
            return fail("no tabWidget");
        t->setCurrentIndex(arg.toInt());
    } else if (verb == "shot") {
        if (!w->grab().save(arg))
            return fail("cannot write " + arg);
    } else if (verb == "close") {
        w->close();
    } else if (!verb.isEmpty()) {
        return fail("unknown command " + step);
    }
    QTimer::singleShot(next, [steps] { runStep(steps); });
}

void startDriver()
{
    const char *script = std::getenv("KELTO_DRIVER");
    if (!script || !*script)
        return;
    auto steps = std::make_shared<QStringList>(QString::fromLocal8Bit(script).split(';'));
    // Runs once the event loop is up.
    QTimer::singleShot(0, [steps] { runStep(steps); });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)
