// The ballast tab in the real window on the emulated converter: the thread's
// switch with the tab, the page from known device data, the one-off reads,
// and every way out of the program ending the thread first.
#include "ballastpage.h"
#include "ballastsnapshot.h"
#include "ballastview.h"
#include "darvo_bootloader.h"
#include "delay.h"
#include "dumpbuffer.h"
#include "emulator.h"
#include "layoutdump.h"
#include "logcapture.h"
#include "modaldriver.h"
#include "mythread.h"
#include "onscreen.h"
#include "pollinterval.h"
#include "ui_darvo_bootloader.h"
#include "upgraderig.h"
#include "usbmirel.h"

#include <QAction>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTextFrame>
#include <QTextTable>
#include <QTimer>
#include <QtMath>

#include <atomic>
#include <functional>
#include <vector>

namespace {

struct DeviceData
{
    std::vector<uint8_t> vrb = std::vector<uint8_t>(864, 0);
    std::vector<uint8_t> records = std::vector<uint8_t>(64 * 28, 0);
    void put32(int offset, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            vrb[offset + i] = (v >> (8 * i)) & 0xFF;
    }
    void put64(int offset, uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            vrb[offset + i] = (v >> (8 * i)) & 0xFF;
    }
};
using Setup = std::function<void(DeviceData &)>;

QTextBrowser *browserOf(Darvo_bootloader &w)
{
    return w.findChild<QTextBrowser *>("textBrowserVrb");
}

QString cell(QTextBrowser *browser, int table, int n)
{
    for (QTextFrame *frame : browser->document()->rootFrame()->childFrames()) {
        if (auto *outer = qobject_cast<QTextTable *>(frame)) {
            auto *inner = qobject_cast<QTextTable *>(outer->childFrames().value(table));
            if (!inner)
                return QString();
            QTextTableCell c = inner->cellAt(1 + n / 8, n % 8);
            QTextCursor cur = c.firstCursorPosition();
            cur.setPosition(c.lastCursorPosition().position(), QTextCursor::KeepAnchor);
            return cur.selectedText();
        }
    }
    return QString();
}

std::size_t requests(uint8_t request)
{
    return kelto::emu::transferLog(request).size();
}

// Counts the polling thread's announcements in that thread (a QSignalSpy
// would be filled there and read here without a lock).
class Cycles
{
public:
    explicit Cycles(MyThread *thread)
    {
        QObject::connect(
            thread, &MyThread::tx_complete, thread, [this] { ++n; }, Qt::DirectConnection);
    }
    int count() const { return n.load(); }

private:
    std::atomic<int> n {0};
};

void refresh(Darvo_bootloader &w)
{
    QMetaObject::invokeMethod(&w, "slotVrBalastRefresh");
}

} // namespace

class TestMonitorWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startupSendsNothing();
    void tabSwitchesPolling();
    void pageShowsDeviceData_data();
    void pageShowsDeviceData();
    void identicalSnapshotSetsPageOnce();
    void changedSnapshotEqualsFreshPage();
    void changedSnapshotLooksLikeFreshPage();
    void valuesKeepOneLineAtTheWindowsSize();
    void refreshWritesItsStreamLine();
    void pageSaysWhenConverterDoesNotAnswer_data();
    void pageSaysWhenConverterDoesNotAnswer();
    void oneOffReads_data();
    void oneOffReads();
    void closeWhilePollingEndsThreadFirst_data();
    void closeWhilePollingEndsThreadFirst();
    void languageActionsEndThreadBeforeWindowGoes_data();
    void languageActionsEndThreadBeforeWindowGoes();
    void pollingBesideUpgradeTrafficAndManualReads();
};

void TestMonitorWindow::init()
{
    kelto::emu::reset();
    kelto::setSleepFunction(kelto::emu::virtualSleep);
    kelto::setBallastPollIntervalMs(5);
    ballastSnapshot().clear();
}

void TestMonitorWindow::cleanup()
{
    kelto::setBallastPollIntervalMs(0);
    kelto::setSleepFunction(nullptr);
}

void TestMonitorWindow::startupSendsNothing()
{
    Darvo_bootloader w;
    auto *thread = w.findChild<MyThread *>();
    QVERIFY(thread);
    QVERIFY(thread->isRunning());
    QCOMPARE(thread->priority(), QThread::LowestPriority);
    QTest::qWait(150); // thirty pauses
    QVERIFY(kelto::emu::transferLog().empty());
    QVERIFY(browserOf(w)->toPlainText().isEmpty());
    QVERIFY(!browserOf(w)->findChild<BallastView *>());
}

void TestMonitorWindow::tabSwitchesPolling()
{
    Darvo_bootloader w;
    auto *tabs = w.findChild<QTabWidget *>("tabWidget");
    auto *thread = w.findChild<MyThread *>();
    Cycles cycles(thread);
    tabs->setCurrentIndex(1);
    QTRY_VERIFY(cycles.count() >= 2);
    QTRY_VERIFY(browserOf(w)->toPlainText().contains("Initialised: "));
    QVERIFY(requests(10) >= 2);

    tabs->setCurrentIndex(0);
    // At most the cycle under way finishes; after that nothing is sent.
    QTest::qWait(50);
    const std::size_t settled = requests(11);
    QTest::qWait(100);
    QCOMPARE(requests(11), settled);
    QCOMPARE(requests(10), settled);
    QVERIFY(thread->isRunning());
    // The last page stays.
    QVERIFY(browserOf(w)->toPlainText().contains("Initialised: "));
}

void TestMonitorWindow::pageShowsDeviceData_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<int>("table"); // -1: the bitmaps
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("text");

    const QString zeros(64, '0');
    QTest::newRow("all zero bitmaps") << Setup([](DeviceData &) {}) << -1 << 0
                                      << "Initialised: \n0b" + zeros + "\nWithdraw: \n0b" + zeros;
    QTest::newRow("all zero dtr") << Setup([](DeviceData &) {}) << 0 << 63 << "000";
    QTest::newRow("all zero status") << Setup([](DeviceData &) {}) << 2 << 0 << "0x00";
    QTest::newRow("all zero short") << Setup([](DeviceData &) {}) << 3 << 5 << "00";
    QTest::newRow("all zero random") << Setup([](DeviceData &) {}) << 6 << 7 << "0x00";
    QTest::newRow("all zero time") << Setup([](DeviceData &) {}) << 10 << 0 << "00000000";
    QTest::newRow("initialised 1") << Setup([](DeviceData &d) { d.put64(0, 1); }) << -1 << 0
                                   << "Initialised: \n0b" + QString(63, '0') + "1\n";
    QTest::newRow("initialised bit 63")
        << Setup([](DeviceData &d) { d.put64(0, uint64_t(1) << 63); }) << -1 << 0
        << "Initialised: \n0b1" + QString(63, '0') + "\n";
    QTest::newRow("start_time 16777216")
        << Setup([](DeviceData &d) { d.put32(348, 0x01000000); }) << 9 << 0 << "16777216";
    QTest::newRow("start_time 123456789")
        << Setup([](DeviceData &d) { d.put32(348, 123456789); }) << 9 << 0 << "123456789";
    QTest::newRow("record 9 short address 7")
        << Setup([](DeviceData &d) { d.records[28 * 9 + 5] = 7; }) << 3 << 9 << "07";
}

void TestMonitorWindow::pageShowsDeviceData()
{
    QFETCH(Setup, setup);
    QFETCH(int, table);
    QFETCH(int, n);
    QFETCH(QString, text);
    DeviceData data;
    setup(data);
    kelto::emu::setBallastData(data.vrb, data.records);

    Darvo_bootloader w;
    auto *thread = w.findChild<MyThread *>();
    Cycles cycles(thread);
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTRY_VERIFY(cycles.count() >= 1);
    QTRY_VERIFY(browserOf(w)->findChild<BallastView *>());
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(0);

    QTextBrowser *browser = browserOf(w);
    if (table < 0)
        QVERIFY2(
            browser->toPlainText().contains(text), qPrintable(browser->toPlainText().left(200)));
    else
        QCOMPARE(cell(browser, table, n), text);
    // Exactly the page of those bytes.
    const BallastPage page = buildBallastPage(data.vrb.data(), data.records.data());
    QCOMPARE(browser->findChild<BallastView *>()->lastHtml(), page.html);
}

void TestMonitorWindow::identicalSnapshotSetsPageOnce()
{
    Darvo_bootloader w;
    std::array<unsigned char, 864> vrb {};
    vrb[24] = 12;
    ballastSnapshot().publishVrb(vrb);
    refresh(w);
    auto *view = browserOf(w)->findChild<BallastView *>();
    QVERIFY(view);
    QSignalSpy changes(browserOf(w)->document(), &QTextDocument::contentsChange);
    refresh(w);
    QCOMPARE(view->replaceCount(), 1);
    QCOMPARE(view->patchCount(), 0);
    QCOMPARE(changes.count(), 0);
    QCOMPARE(cell(browserOf(w), 0, 0), QString("012"));
}

void TestMonitorWindow::changedSnapshotEqualsFreshPage()
{
    Darvo_bootloader w;
    ballastSnapshot().publishVrb({});
    refresh(w);
    std::array<unsigned char, 64 * 28> records {};
    records[28 * 9 + 5] = 7;
    records[28 * 63 + 4] = 0xFE;
    ballastSnapshot().publishVrBalasts(records);
    refresh(w);
    auto *view = browserOf(w)->findChild<BallastView *>();
    QCOMPARE(view->patchCount(), 1);

    const BallastSnapshot::Data data = ballastSnapshot().read();
    QTextBrowser fresh;
    fresh.setHtml(buildBallastPage(data.vrb.data(), data.vrBalasts.data()).html);
    QCOMPARE(browserOf(w)->document()->toHtml(), fresh.document()->toHtml());
    QCOMPARE(cell(browserOf(w), 3, 9), QString("07"));
    QCOMPARE(cell(browserOf(w), 4, 63), QString("0xfe"));
}

// In the window as the operator sees it, style and all: after refreshes that
// edit the page in place, the screen shows what setting the page whole shows.
void TestMonitorWindow::changedSnapshotLooksLikeFreshPage()
{
    // The page shows only what this test publishes: polling waits longer
    // than the test takes.
    kelto::setBallastPollIntervalMs(60000);
    Darvo_bootloader w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTextBrowser *browser = browserOf(w);
    ballastSnapshot().publishVrb({});
    refresh(w);
    kelto::test::onScreen(browser);

    DeviceData d;
    for (int step = 1; step <= 3; ++step) {
        if (step < 3) {
            d.vrb[24 + 3 * step] = 40 + step;
            d.vrb[156 + 9] = 0x0F * step;
            d.records[28 * 30 + 5] = 10 + step;
            d.put64(0, 1ull << (10 * step));
        } else {
            // Every value at once, each keeping its number of digits.
            for (std::size_t i = 0; i < 348; ++i)
                d.vrb[i] = (i * 7 + 3) & 0xFF;
            for (int n = 0; n < 128; ++n)
                d.put32(348 + 4 * n, 20000000u + 4099u * n);
            for (std::size_t i = 0; i < d.records.size(); ++i)
                d.records[i] = i % 28 == 5 ? (i / 28) % 64 : (i * 5) & 0xFF;
        }
        std::array<unsigned char, 864> vrb;
        std::array<unsigned char, 64 * 28> records;
        std::copy(d.vrb.begin(), d.vrb.end(), vrb.begin());
        std::copy(d.records.begin(), d.records.end(), records.begin());
        ballastSnapshot().publishVrb(vrb);
        ballastSnapshot().publishVrBalasts(records);
        refresh(w);
    }
    auto *view = browser->findChild<BallastView *>();
    QCOMPARE(view->patchCount(), 3);
    QCOMPARE(view->fullLayouts(), BallastView::laysOutInPlace ? 0 : 3);
    const QStringList edited = layoutDump(browser->document());
    const QImage shown = kelto::test::onScreen(browser);
    QVERIFY(!shown.isNull());

    browser->setHtml(view->lastHtml());
    QCOMPARE(layoutDump(browser->document()), edited);
    QVERIFY(kelto::test::onScreen(browser) == shown);
}

// At the window's own size every cell of every ballast table reads as one
// line (a value broken over two lines reads as two wrong ones), and the page
// scrolls sideways where it is wider than the view.
void TestMonitorWindow::valuesKeepOneLineAtTheWindowsSize()
{
    kelto::setBallastPollIntervalMs(60000);
    Darvo_bootloader w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.size(), QSize(675, 616));
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTextBrowser *browser = browserOf(w);
    // The widest values: three digits, hex letters, ten-digit times.
    std::array<unsigned char, 864> vrb;
    vrb.fill(0xFF);
    std::array<unsigned char, 64 * 28> records;
    records.fill(0xEE);
    ballastSnapshot().publishVrb(vrb);
    ballastSnapshot().publishVrBalasts(records);
    refresh(w);
    kelto::test::onScreen(browser);

    const auto check = [browser] {
        // Past the bitmaps' paragraph every block is a table cell.
        int cells = 0;
        for (QTextBlock b = browser->document()->begin().next(); b.isValid(); b = b.next(), ++cells)
            QVERIFY2(b.layout()->lineCount() == 1, qPrintable(b.text()));
        QVERIFY(cells > 11 * 65);
        const int wider = qCeil(browser->document()->size().width()) - browser->viewport()->width();
        QVERIFY(wider > 0);
        QVERIFY(browser->horizontalScrollBar()->maximum() >= wider);
    };
    check();
    // Narrower still, and after a refresh that edits the page in place.
    w.resize(420, 500);
    QCOMPARE(w.width(), 420);
    vrb[24] = 7;
    ballastSnapshot().publishVrb(vrb);
    refresh(w);
    kelto::test::onScreen(browser);
    QCOMPARE(browser->findChild<BallastView *>()->patchCount(), 1);
    check();
}

void TestMonitorWindow::refreshWritesItsStreamLine()
{
    Darvo_bootloader w;
    kelto::test::LogCapture log;
    refresh(w);
    refresh(w);
    QCOMPARE(log.linesStartingWith("Darvo_bootloader::slotVrBalastRefresh"),
        QStringList({"Darvo_bootloader::slotVrBalastRefresh(void) ",
            "Darvo_bootloader::slotVrBalastRefresh(void) "}));
}

void TestMonitorWindow::pageSaysWhenConverterDoesNotAnswer_data()
{
    QTest::addColumn<std::function<void(bool)>>("away");
    QTest::addColumn<QString>("why");
    QTest::newRow("unplugged") << std::function<void(bool)>([](bool away) {
        away ? kelto::emu::unplug() : kelto::emu::plug();
    }) << "it is not on the USB bus";
    QTest::newRow("in its bootloader") << std::function<void(bool)>([](bool away) {
        kelto::emu::setMode(away ? kelto::emu::Mode::Bootloader : kelto::emu::Mode::Application);
    }) << "The converter runs its bootloader";
}

// Values the converter no longer reports are not shown as if it did.
void TestMonitorWindow::pageSaysWhenConverterDoesNotAnswer()
{
    QFETCH(std::function<void(bool)>, away);
    QFETCH(QString, why);
    Darvo_bootloader w;
    const auto says
        = [&w](const QString &text) { return browserOf(w)->toPlainText().contains(text); };
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTRY_VERIFY(says("Initialised"));
    away(true);
    QTRY_VERIFY(says("No live ballast values"));
    QVERIFY(says(why));
    QVERIFY(!says("Initialised"));
    away(false);
    QTRY_VERIFY(says("Initialised"));
}

void TestMonitorWindow::oneOffReads_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("fail");
    QTest::addColumn<int>("length");
    QTest::newRow("summary") << QByteArray("slotpushButtonGetVrb") << false << 864;
    QTest::newRow("summary fails") << QByteArray("slotpushButtonGetVrb") << true << 864;
    QTest::newRow("records") << QByteArray("slotpushButtonGetVrBalasts") << false << 64 * 28;
    QTest::newRow("records fail") << QByteArray("slotpushButtonGetVrBalasts") << true << 64 * 28;
}

void TestMonitorWindow::oneOffReads()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, fail);
    QFETCH(int, length);
    DeviceData data;
    for (std::size_t i = 0; i < data.vrb.size(); ++i)
        data.vrb[i] = uint8_t(i * 5 + 1);
    for (std::size_t i = 0; i < data.records.size(); ++i)
        data.records[i] = uint8_t(i * 11 + 3);
    kelto::emu::setBallastData(data.vrb, data.records);
    const int request = length == 864 ? 10 : 11;
    if (fail)
        kelto::emu::failTransfer(1, request);

    Darvo_bootloader w;
    auto *txt = w.findChild<QTextEdit *>("txt");
    txt->clear();
    QVERIFY(QMetaObject::invokeMethod(&w, slot.constData(), Q_ARG(bool, false)));

    const auto log = kelto::emu::transferLog(request);
    QCOMPARE(log.size(), std::size_t(1));
    QCOMPARE(log[0].lengthAsked, length);
    if (fail) {
        QCOMPARE(txt->toPlainText(), QString("Error"));
    } else {
        // The dump names the address of a local buffer; compare the rows.
        const std::vector<uint8_t> &bytes = length == 864 ? data.vrb : data.records;
        const QString dump = QString::fromLatin1(dumpBuffer(bytes.data(), length));
        const QString rows = dump.mid(dump.indexOf('\n', 1));
        const QString shown = txt->toPlainText();
        QVERIFY(shown.endsWith(rows));
        QCOMPARE(shown.count('\n'), dump.count('\n'));
    }
    // The shared snapshot is not touched.
    const BallastSnapshot::Data snapshot = ballastSnapshot().read();
    QVERIFY(snapshot.vrb == BallastSnapshot::Data().vrb);
    QVERIFY(snapshot.vrBalasts == BallastSnapshot::Data().vrBalasts);
}

void TestMonitorWindow::closeWhilePollingEndsThreadFirst_data()
{
    QTest::addColumn<unsigned long>("interval");
    QTest::addColumn<bool>("viaMenu");
    QTest::newRow("short pause, close()") << 5ul << false;
    QTest::newRow("short pause, File Close") << 5ul << true;
    // Without waking the pause the close would take the whole of it.
    QTest::newRow("long pause") << 20000ul << false;
}

void TestMonitorWindow::closeWhilePollingEndsThreadFirst()
{
    QFETCH(unsigned long, interval);
    QFETCH(bool, viaMenu);
    auto *w = new Darvo_bootloader;
    w->show();
    auto *thread = w->findChild<MyThread *>();
    Cycles cycles(thread);
    w->findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTRY_VERIFY(cycles.count() >= 1);
    kelto::setBallastPollIntervalMs(interval);
    QTest::qWait(20);

    QElapsedTimer timer;
    timer.start();
    if (viaMenu)
        w->findChild<QAction *>("actionClose")->trigger();
    else
        QVERIFY(w->close());
    const qint64 took = timer.elapsed();
    QVERIFY(thread->isFinished());
    QVERIFY2(took < 1000, qPrintable(QString::number(took)));
    QVERIFY(!w->isVisible());
    delete w;
}

void TestMonitorWindow::languageActionsEndThreadBeforeWindowGoes_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("code");
    QTest::newRow("Polish") << "actionPolish" << -11;
    QTest::newRow("English") << "actionEnglish" << -12;
}

void TestMonitorWindow::languageActionsEndThreadBeforeWindowGoes()
{
    QFETCH(QString, action);
    QFETCH(int, code);
    auto *w = new Darvo_bootloader;
    w->show();
    auto *thread = w->findChild<MyThread *>();
    Cycles cycles(thread);
    w->findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTRY_VERIFY(cycles.count() >= 1);

    QTimer::singleShot(0, w, [w, action] { w->findChild<QAction *>(action)->trigger(); });
    QCOMPARE(QCoreApplication::exec(), code);
    // The event loop has ended without a close event: the thread still polls.
    QVERIFY(thread->isRunning());

    // The thread's end and the device object's end, in the order they happen.
    kelto::test::LogCapture log;
    QObject::connect(
        thread, &QThread::finished, thread, [] { qDebug("test: polling thread ended"); },
        Qt::DirectConnection);
    QElapsedTimer timer;
    timer.start();
    delete w;
    QVERIFY(timer.elapsed() < 1000);
    const QStringList lines = log.lines();
    const int ended = lines.indexOf("test: polling thread ended");
    const int deviceGone = lines.indexOf("UsbDevice destructor");
    QVERIFY(ended >= 0);
    QVERIFY(deviceGone >= 0);
    QVERIFY2(ended < deviceGone, qPrintable(lines.join('|')));
}

void TestMonitorWindow::pollingBesideUpgradeTrafficAndManualReads()
{
    // The window's own firmware change, on its one device object (a second
    // object would hold a second handle, which the kernel refuses the
    // interface while the first holds it), beside the page's polling and
    // the operator's reads by hand, on the same process-wide lock.
    kelto::test::UpgradeRig rig; // resets the converter
    const QString file = rig.upgradeFile();
    kelto::setBallastPollIntervalMs(1);

    Darvo_bootloader w;
    auto *thread = w.findChild<MyThread *>();
    Cycles cycles(thread);
    w.findChild<QTabWidget *>("tabWidget")->setCurrentIndex(1);
    QTRY_VERIFY(cycles.count() >= 1);

    kelto::test::ModalDriver d;
    d.file(file);
    QMetaObject::invokeMethod(&w, "slotpushButtonCHF", Q_ARG(bool, false));
    QTRY_VERIFY(d.finished());
    // Meanwhile the operator reads the ballast data by hand and the page
    // keeps refreshing.
    // The run's lines, in order, among the dumps of the reads by hand.
    const QStringList expected = kelto::test::successTexts(file, true);
    auto runShown = [&w, &expected] {
        int next = 0;
        for (const QString &l : w.findChild<QTextBrowser *>("txt")->toPlainText().split('\n'))
            next += next < expected.size() && l == expected[next];
        return next == expected.size();
    };
    QElapsedTimer timer;
    timer.start();
    // At least once: on a busy machine the upgrade, on virtual time, may be
    // over before this thread looks.
    int manual = 0;
    do {
        QMetaObject::invokeMethod(&w, "slotpushButtonGetVrb", Q_ARG(bool, false));
        QMetaObject::invokeMethod(&w, "slotpushButtonGetVrBalasts", Q_ARG(bool, false));
        ++manual;
        QTest::qWait(2);
    } while (!runShown() && timer.elapsed() < 120000);
    QVERIFY(manual > 0);
    QVERIFY(runShown());
    QVERIFY(kelto::test::deviceHasFirmware(rig.firmware));
    QTRY_VERIFY(cycles.count() >= 3);
    QVERIFY(w.close());
    QVERIFY(thread->isFinished());
}

QTEST_MAIN(TestMonitorWindow)
#include "tst_monitorwindow.moc"
