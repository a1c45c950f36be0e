// The operator's side of a firmware change: the button, the file dialog,
// the log view and the bars, a click during a run, closing the window under
// a run (asked, and never while a page is being written), and the window's
// timed restart sequence.
#include "darvo_bootloader.h"
#include "historystore.h"
#include "ui_darvo_bootloader.h"

#include "emulator.h"
#include "modaldriver.h"
#include "upgraderig.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <condition_variable>
#include <thread>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

// Holds a run inside one of its fixed waits until released.
class Gate
{
public:
    explicit Gate(unsigned long waitMs)
    {
        Sleeps::setHook([this, waitMs](unsigned long ms) {
            if (ms == waitMs)
                hold();
        });
    }
    // Holds the run inside its nth transfer of `request`: the converter has
    // taken it, the run does not have the answer yet.
    Gate(uint8_t request, int nth)
    {
        // The emulator calls a copy of the hook: the count lives here.
        emu::setTransferHook([this, request, nth](const emu::TransferRecord &r) {
            if (r.request == request && ++transfers == nth)
                hold();
        });
    }
    ~Gate()
    {
        release();
        Sleeps::setHook({});
        emu::setTransferHook({});
    }
    bool isReached()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return reached;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }

private:
    void hold()
    {
        std::unique_lock<std::mutex> lock(mutex);
        reached = true;
        cv.wait(lock, [this] { return open; });
    }

    std::atomic<int> transfers {0};
    std::mutex mutex;
    std::condition_variable cv;
    bool reached = false;
    bool open = false;
};

QStringList logLines(Darvo_bootloader &w)
{
    return w.findChild<QTextBrowser *>("txt")->toPlainText().split('\n');
}

int bar(Darvo_bootloader &w, const char *name)
{
    return w.findChild<QProgressBar *>(name)->value();
}

void clickChf(Darvo_bootloader &w)
{
    QTest::mouseClick(w.findChild<QPushButton *>("pushButtonCHF"), Qt::LeftButton);
}

bool startsWith(const QStringList &lines, const QStringList &prefix)
{
    return lines.mid(0, prefix.size()) == prefix;
}

} // namespace

class TestUpgradeWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firmwareChangeRunsToTheEnd();
    void cancelResetsBarsAndStartsNothing();
    void clickDuringRunIsIgnored();
    void closingWaitsForTheRun();
    void closeDuringRunAsksFirst_data();
    void closeDuringRunAsksFirst();
    void timedSequence();

private:
    QTemporaryDir dir;
    QString file;
    QString history; // the test's own
    Firmware firmware = Firmware::make(3);
    // The statuses of the history's entries, oldest first.
    QStringList entries() const
    {
        QString error;
        kelto::history::Store store(*kelto::history::parseLocation(history, &error));
        QStringList statuses;
        for (const auto &e :
            store.upgrades(QString(), QDateTime()).value_or(QList<kelto::history::UpgradeEntry>()))
            statuses << e.status() + " " + e.serial;
        return statuses;
    }
};

void TestUpgradeWindow::initTestCase()
{
    DebugLog::install();
    file = dir.filePath("window.upg");
    QVERIFY(writeUpgradeFile(file, firmware));
}

void TestUpgradeWindow::init()
{
    emu::reset();
    Sleeps::install();
    Sleeps::clear();
    DebugLog::clear();
    history = dir.filePath(QString("%1.sqlite").arg(QTest::currentTestFunction()));
    qputenv("KELTO_HISTORY", history.toUtf8());
}

void TestUpgradeWindow::cleanup()
{
    Sleeps::uninstall();
}

void TestUpgradeWindow::firmwareChangeRunsToTheEnd()
{
    Darvo_bootloader w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    Gate gate(2000);
    ModalDriver d;
    d.file(file);
    clickChf(w);
    QTRY_VERIFY(d.finished());
    QCOMPARE(d.seen(), QStringList {"QFileDialog|Open File|Upg (*.upg)"});

    // While the run waits for the device to restart, the window works: its
    // timers fire, tabs switch and the lines so far are shown.
    QTRY_VERIFY(gate.isReached());
    // The run is in the history from its start.
    QCOMPARE(entries(), QStringList {"unfinished "});
    bool fired = false;
    QTimer::singleShot(0, [&fired] { fired = true; });
    QTRY_VERIFY_WITH_TIMEOUT(fired, 1000);
    auto *tabs = w.findChild<QTabWidget *>("tabWidget");
    tabs->setCurrentIndex(1);
    QCOMPARE(tabs->currentIndex(), 1);
    tabs->setCurrentIndex(0);
    QTRY_VERIFY(startsWith(logLines(w), {file, "KT0000001", "KBL 2.04", "Apllication mode"}));
    gate.release();

    const QStringList expected = successTexts(file, true);
    QTRY_COMPARE_WITH_TIMEOUT(logLines(w), expected, 30000);
    QTRY_COMPARE(bar(w, "progressBarFlash"), 100);
    QCOMPARE(bar(w, "progressBarExtFlashWr"), 100);
    QCOMPARE(bar(w, "progressBarExtFlashRd"), 100);
    QTRY_COMPARE(emu::openHandles(), 0);
    QVERIFY(deviceHasFirmware(firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QTRY_COMPARE(entries(), QStringList {"ok KT0000001"});
}

void TestUpgradeWindow::cancelResetsBarsAndStartsNothing()
{
    Darvo_bootloader w;
    w.show();
    for (const char *name : {"progressBarFlash", "progressBarExtFlashWr", "progressBarExtFlashRd"})
        w.findChild<QProgressBar *>(name)->setValue(40);
    ModalDriver d;
    d.cancel();
    // The bars are back at 0 by the time the operator sees the dialog.
    bool barsResetBeforeDialog = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() && bar(w, "progressBarFlash") == 0
            && bar(w, "progressBarExtFlashWr") == 0 && bar(w, "progressBarExtFlashRd") == 0)
            barsResetBeforeDialog = true;
    });
    probe.start(1);
    clickChf(w);
    QTRY_VERIFY(d.finished());
    QVERIFY(barsResetBeforeDialog);
    QTest::qWait(200);
    QCOMPARE(bar(w, "progressBarFlash"), 0);
    QCOMPARE(w.findChild<QTextBrowser *>("txt")->toPlainText(), QString());
    QVERIFY(emu::transferLog().empty());
    QCOMPARE(DebugLog::count("Start firmware upgrade"), 0);
    QCOMPARE(DebugLog::count("Darvo_bootloader::slotpushButtonCHF(bool t)"), 1);
}

void TestUpgradeWindow::clickDuringRunIsIgnored()
{
    Darvo_bootloader w;
    w.show();
    Gate gate(1000); // the last wait, after every line and percentage
    ModalDriver d;
    d.file(file);
    clickChf(w);
    QTRY_VERIFY(d.finished());
    QTRY_VERIFY_WITH_TIMEOUT(gate.isReached(), 30000);
    // Every line and percentage is out before that wait (queued).
    QTRY_COMPARE(logLines(w), successTexts(file, true));
    QTRY_COMPARE(bar(w, "progressBarExtFlashRd"), 100);
    QCOMPARE(bar(w, "progressBarFlash"), 100);
    const QStringList before = logLines(w);

    // No dialog, no reset bars, no second run.
    ModalDriver second;
    second.file(dir.filePath("other.upg"));
    clickChf(w);
    QTest::qWait(200);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(second.seen().isEmpty());
    QCOMPARE(bar(w, "progressBarFlash"), 100);
    QCOMPARE(bar(w, "progressBarExtFlashRd"), 100);
    QCOMPARE(DebugLog::count("Darvo_bootloader::slotpushButtonCHF(bool t)"), 2);

    gate.release();
    QTRY_COMPARE(emu::openHandles(), 0);
    QTest::qWait(50);
    QCOMPARE(logLines(w), before);
    QCOMPARE(DebugLog::count("Start firmware upgrade"), 1);
    QVERIFY(deviceHasFirmware(firmware));
}

void TestUpgradeWindow::closingWaitsForTheRun()
{
    auto *w = new Darvo_bootloader;
    w->show();
    auto gate = std::make_unique<Gate>(2000);
    ModalDriver d;
    d.file(file);
    clickChf(*w);
    QTRY_VERIFY(d.finished());
    QTRY_VERIFY(gate->isReached());

    // The device object must outlive the run: the window's destruction
    // blocks until the run is over, which happens only after the release.
    std::atomic<bool> released {false};
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        released = true;
        gate->release();
    });
    QElapsedTimer t;
    t.start();
    delete w;
    QVERIFY(released);
    QVERIFY(t.elapsed() >= 250);
    releaser.join();
    QCOMPARE(int(emu::transferLog(4).size()), 2);
    QVERIFY(deviceHasFirmware(firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);
    QCOMPARE(emu::openHandles(), 0);
}

void TestUpgradeWindow::closeDuringRunAsksFirst_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("keep running") << "Keep running" << false;
    QTest::newRow("stop and close") << "Stop and close" << true;
}

void TestUpgradeWindow::closeDuringRunAsksFirst()
{
    QFETCH(QString, answer);
    QFETCH(bool, closes);
    Darvo_bootloader w;
    w.show();
    Gate gate(3, 10); // inside the tenth page write
    ModalDriver d;
    d.file(file).custom([answer](QWidget *box) {
        for (QAbstractButton *b : box->findChildren<QAbstractButton *>())
            if (b->text() == answer)
                b->click();
    });
    clickChf(w);
    QTRY_VERIFY_WITH_TIMEOUT(gate.isReached(), 30000);
    w.findChild<QAction *>("actionClose")->trigger();
    QVERIFY(d.finished());
    QVERIFY(d.seen().last().startsWith("QMessageBox|Firmware Change|A firmware change is running"));
    // Whatever the answer, the window stays while the page is written; once
    // stopping, a second close asks nothing and closes nothing.
    QVERIFY(w.isVisible());
    if (closes)
        QVERIFY(!w.close());
    gate.release();
    if (closes) {
        QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), 30000);
        QVERIFY(logLines(w).contains(
            "Stopping the firmware change; the window closes once it has stopped."));
        // Stopped after the page under way, before the next one.
        QCOMPARE(emu::transferLog(3).size(), std::size_t(10));
        QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(logLines(w), successTexts(file, true), 30000);
        QVERIFY(w.isVisible());
    }
}

void TestUpgradeWindow::timedSequence()
{
    Darvo_bootloader w;
    const auto states = [] {
        QStringList s;
        for (const QString &line : DebugLog::lines())
            if (line.startsWith("TIMER_STATE_"))
                s << line;
        return s;
    };
    // From the state after construction one call only moves it on.
    QVERIFY(QMetaObject::invokeMethod(&w, "slotTimeout"));
    QCOMPARE(states(), QStringList {"TIMER_STATE_NULL"});
    QTest::qWait(1300);
    QCOMPARE(states(), QStringList {"TIMER_STATE_NULL"});
    QCOMPARE(DebugLog::count("Darvo_bootloader::slotTimeout(void)"), 1);
    QVERIFY(emu::transferLog().empty());

    // The next call disconnects at once and runs the chain on its own
    // timers, a second apart, back to rest.
    DebugLog::clear();
    QElapsedTimer t;
    t.start();
    w.slotTimeout();
    QCOMPARE(states(), QStringList {"TIMER_STATE_DISCONNECT1"});
    QTRY_COMPARE_WITH_TIMEOUT(states().size(), 7, 9000);
    QVERIFY(t.elapsed() >= 5800);
    QCOMPARE(states(),
        QStringList({"TIMER_STATE_DISCONNECT1", "TIMER_STATE_CONNECT1",
            "TIMER_STATE_RUN_BOOTLOADER", "TIMER_STATE_DISCONNECT2",
            "TIMER_STATE_CONNECT_BOOTLOADER", "TIMER_STATE_PROGRAM", "TIMER_STATE_NULL"}));
    QTest::qWait(1300);
    QCOMPARE(states().size(), 7);
    // The restart request went out once and nothing was programmed; the
    // device ends up connected in its bootloader.
    QCOMPARE(int(emu::transferLog(4).size()), 1);
    QVERIFY(emu::transferLog(3).empty());
    QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    QCOMPARE(emu::openHandles(), 1);

    // It rests in state 1: another call starts the chain again.
    DebugLog::clear();
    w.slotTimeout();
    QCOMPARE(states(), QStringList {"TIMER_STATE_DISCONNECT1"});
}

QTEST_MAIN(TestUpgradeWindow)
#include "tst_upgradewindow.moc"
