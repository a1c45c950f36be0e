// Plays the operator of one firmware change in the real program, which is
// preloaded with this library and stays unchanged (it reads no options).
// Once the window is up it presses "Firmware Change", picks the file named
// by KELTO_DEMO_FILE in the file dialog, echoes every line of the log view
// and the flash progress to standard output, and when the run is over
// saves a picture of the window to KELTO_DEMO_SHOT, prints the outcome and
// closes the window. The program's exit code is then 0 for a completed
// firmware change and 1 otherwise.
//
// Nothing happens unless KELTO_DEMO_FILE is set.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <QProgressBar>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// After the last visible change, how long a run may stay silent before the
// operator gives up on it: longer than any wait of a working run.
constexpr qint64 silenceLimitMs = 20000;
// A last line must stand this long to count as the end of the run: the
// success path still restarts the device after it.
constexpr qint64 settleMs = 2000;

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool isFailureLine(const QString &line)
{
    static const QStringList failures = {
        "Wrong file header",
        "Wrong file version",
        "USB Timeout",
        "Check USB Cable",
        "Bootloader Version Read Error",
        "USB timout",
        "Check USB cable",
        "ERROR",
        "Error",
        "Firmware verification failed",
    };
    for (const QString &f : failures)
        if (line.startsWith(f))
            return true;
    return false;
}

class Operator : public QObject
{
public:
    Operator(QString file, QString shot)
        : file(std::move(file))
        , shot(std::move(shot))
    {
        QObject::connect(&timer, &QTimer::timeout, this, [this] { step(); });
        timer.start(50);
        clock.start();
    }

private:
    enum class Phase { WaitWindow, Press, WaitDialog, Watch, Done };

    static QMainWindow *mainWindow()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *mw = qobject_cast<QMainWindow *>(w))
                return mw;
        return nullptr;
    }

    void step()
    {
        QMainWindow *w = mainWindow();
        switch (phase) {
        case Phase::WaitWindow:
            if (w && w->isVisible()) {
                phase = Phase::Press;
                since.start();
            }
            return;
        case Phase::Press:
            // Let the operator look at the window for a moment.
            if (since.elapsed() < 1000)
                return;
            if (auto *b = w->findChild<QAbstractButton *>("pushButtonCHF")) {
                say(QString("operator: pressing \"%1\"").arg(b->text()));
                phase = Phase::WaitDialog;
                since.start();
                // Deferred: the dialog runs its own event loop inside the
                // click, and this timer has to keep ticking in it.
                QTimer::singleShot(0, b, [b] { b->click(); });
            } else {
                finish(w, false, "no Firmware Change button");
            }
            return;
        case Phase::WaitDialog: {
            // Answered only once it has been on screen for a moment, running
            // its own loop: accepted earlier, it would open again and wait.
            auto *fd = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (fd && fd->isVisible() && !seen.isValid())
                seen.start();
            if (fd && seen.isValid() && seen.elapsed() >= 500) {
                // Typed into the name field, as the operator would.
                if (auto *name = fd->findChild<QLineEdit *>("fileNameEdit"))
                    name->setText(file);
                else
                    fd->selectFile(file);
                if (fd->selectedFiles().value(0) != file)
                    return; // the dialog is still settling; type again
                say(QString("operator: choosing %1 in \"%2\"").arg(file, fd->windowTitle()));
                static_cast<QDialog *>(fd)->accept();
                phase = Phase::Watch;
                since.start();
            } else if (since.elapsed() > 10000) {
                finish(w, false, "no file dialog");
            }
            return;
        }
        case Phase::Watch:
            watch(w);
            return;
        case Phase::Done:
            return;
        }
    }

    // Echoes what is new in the log view and the flash bar; the run is over
    // once its last line has stood for a while (the success path restarts
    // the device after it), or when it has been silent for far too long.
    void watch(QMainWindow *w)
    {
        auto *txt = w->findChild<QTextEdit *>("txt");
        auto *bar = w->findChild<QProgressBar *>("progressBarFlash");
        if (!txt || !bar)
            return finish(w, false, "no log view");
        const QString text = txt->toPlainText();
        const QStringList lines = text.isEmpty() ? QStringList() : text.split('\n');
        bool changed = false;
        for (int i = shown; i < lines.size(); ++i) {
            say("log: " + lines.at(i));
            changed = true;
        }
        shown = int(lines.size());
        const int percent = bar->value();
        if (percent / 10 != lastPercent / 10 || (percent == 100 && lastPercent != 100)) {
            say(QString("flash: %1%").arg(percent));
            changed = true;
        }
        lastPercent = percent;
        if (changed)
            since.start();

        const QString last = lines.isEmpty() ? QString() : lines.last();
        const bool complete = lines.size() >= 2 && last == "OK"
            && lines.at(lines.size() - 2) == "Verify External Flash ...  ";
        const bool failed = std::any_of(lines.begin(), lines.end(), isFailureLine);
        if ((complete || failed) && since.elapsed() >= settleMs)
            finish(w, complete && !failed, last);
        else if (since.elapsed() > silenceLimitMs)
            finish(w, false, "no answer, last line: " + last);
    }

    void finish(QMainWindow *w, bool ok, const QString &why)
    {
        phase = Phase::Done;
        timer.stop();
        if (w && !shot.isEmpty()) {
            if (w->grab().save(shot))
                say("screenshot: " + shot);
            else
                say("cannot write " + shot);
        }
        say(QString("Firmware change %1 (%2, %3 s)")
                .arg(ok ? "completed" : "FAILED", why)
                .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
        if (w)
            w->close();
        QCoreApplication::exit(ok ? 0 : 1);
    }

    const QString file;
    const QString shot;
    QTimer timer;
    QElapsedTimer clock;
    QElapsedTimer since;
    QElapsedTimer seen;
    Phase phase = Phase::WaitWindow;
    int shown = 0;
    int lastPercent = -1;
};

void startOperator()
{
    const char *file = std::getenv("KELTO_DEMO_FILE");
    if (!file || !*file)
        return;
    const char *shot = std::getenv("KELTO_DEMO_SHOT");
    auto *op = new Operator(
        QString::fromLocal8Bit(file), shot ? QString::fromLocal8Bit(shot) : QString());
    op->setParent(QCoreApplication::instance());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startOperator)
