// kelto-cli upgrade against the emulated converter: the exit code, the
// step the run ended in and the result record, for success from both modes
// and for every way a run can fail.
#include "clirun.h"
#include "discovery.h"
#include "emulator.h"
#include "historystore.h"
#include "upgraderig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using namespace kelto::test;
namespace emu = kelto::emu;

namespace {

emu::Fault fault(emu::FaultKind kind, int request, unsigned nth, unsigned count = 1)
{
    emu::Fault f;
    f.kind = kind;
    f.request = request;
    f.nth = nth;
    f.count = count;
    return f;
}

std::vector<uint8_t> descriptorFor(const QByteArray &text)
{
    std::vector<uint8_t> d {uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    return d;
}

// A copy of the upgrade file with one byte of its encoded application
// changed: checksum A no longer matches.
QString withFlippedApplicationByte(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = f.readAll();
    bytes[66 + 0x5000] = char(bytes.at(66 + 0x5000) ^ 0x01);
    const QString path = file + ".flipped.upg";
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
        return QString();
    return path;
}

// The last line of the output: the record of --json.
QJsonObject lastRecord(const QString &out)
{
    const QStringList lines = out.trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last().toUtf8()).object();
}

} // namespace

class TestCliUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void succeeds_data();
    void succeeds();
    void failures_data();
    void failures();
    void progressOnTerminalAndInLogs_data();
    void progressOnTerminalAndInLogs();
    void history_data();
    void history();

private:
    std::unique_ptr<QTemporaryDir> dir;
    Firmware firmware = Firmware::make(7);
    QString file;
};

void TestCliUpgrade::init()
{
    emu::reset();
    Sleeps::install();
    dir = std::make_unique<QTemporaryDir>();
    file = dir->filePath("release.upg");
    QVERIFY(writeUpgradeFile(file, firmware));
    qputenv("KELTO_HISTORY", dir->filePath("history.sqlite").toUtf8());
}

void TestCliUpgrade::cleanup()
{
    Sleeps::uninstall();
}

void TestCliUpgrade::succeeds_data()
{
    QTest::addColumn<bool>("fromApplication");
    QTest::addColumn<bool>("pipe"); // the file comes through a pipe, readable once
    QTest::newRow("from the application") << true << false;
    QTest::newRow("from the bootloader") << false << false;
    QTest::newRow("from a pipe") << true << true;
}

void TestCliUpgrade::succeeds()
{
    QFETCH(bool, fromApplication);
    QFETCH(bool, pipe);
    if (!fromApplication)
        emu::setMode(emu::Mode::Bootloader);
    std::unique_ptr<kelto::test::FifoFeeder> feeder;
    const QString regular = file;
    if (pipe) {
        const QString fifo = dir->filePath("fifo.upg");
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        feeder = std::make_unique<kelto::test::FifoFeeder>(fifo, f.readAll());
        file = fifo;
    }

    const CliResult r = runCli({"upgrade", "--json", file});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    QVERIFY(deviceHasFirmware(firmware));
    QCOMPARE(emu::mode(), emu::Mode::Application);

    // Every line of the run, in order, before the progress and the record.
    const QStringList expected = successTexts(file, fromApplication);
    QStringList lines;
    for (const QString &l : r.out.split('\n')) {
        if (!l.isEmpty() && !l.contains('%') && !l.startsWith('{'))
            lines << l;
    }
    QCOMPARE(lines.join('\n'), expected.join('\n'));

    const QJsonObject o = lastRecord(r.out);
    QCOMPARE(o.value("success").toBool(), true);
    QCOMPARE(o.value("step").toString(), QString("start-application"));
    QCOMPARE(o.value("converter").toString(), QString("new-application"));
    QCOMPARE(o.value("interrupted").toBool(true), false);
    QCOMPARE(o.value("last_line").toString(), QString("OK"));
    QCOMPARE(o.value("serial").toString(), QString("KT0000001"));
    QCOMPARE(
        o.value("usb_serial").toString(), QString(fromApplication ? "KT0000001" : "KT0000001b"));
    QCOMPARE(o.value("bootloader_version").toString(), QString("KBL 2.04"));
    QCOMPARE(o.value("mode").toString(), QString(fromApplication ? "application" : "bootloader"));
    QCOMPARE(o.value("pages_written").toInt(), 120);
    QCOMPARE(o.value("pages_verified").toInt(), 120);
    QCOMPARE(o.value("file").toString(), file);
    const auto *plain = reinterpret_cast<const unsigned char *>(firmware.image.constData());
    const uint32_t a = uint32_t(plain[0x3FFFC]) | uint32_t(plain[0x3FFFD]) << 8
        | uint32_t(plain[0x3FFFE]) << 16 | uint32_t(plain[0x3FFFF]) << 24;
    QCOMPARE(o.value("checksum_a").toString(), QString("0x%1").arg(a, 8, 16, QChar('0')));
    QCOMPARE(o.value("checksums_match").toBool(), true);
    QVERIFY(o.contains("duration_ms"));

    // Once more, skipping what the unit holds: nothing is written.
    emu::clearTransferLog();
    const CliResult again = runCli({"upgrade", "--json", "--skip-unchanged", regular});
    QCOMPARE(again.exitCode, 0);
    const QJsonObject s = lastRecord(again.out);
    QCOMPARE(s.value("converter").toString(), QString("new-application"));
    QCOMPARE(s.value("pages_written").toInt() + s.value("chunks_written").toInt(), 0);
    QCOMPARE(s.value("pages_skipped").toInt() + s.value("chunks_skipped").toInt(), 440);
    QCOMPARE(int(emu::transferLog(3).size() + emu::transferLog(6).size()), 0);
}

void TestCliUpgrade::failures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("lastLine");
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("verified");
    QTest::addColumn<QString>("converter");
    // On stderr: the reason, or how the run was stopped.
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode");

    const QString advice = "left in its bootloader: run the upgrade again";
    QTest::newRow("not an upgrade file") << "header"
                                         << "file"
                                         << "Wrong file header" << 0 << 0 << "untouched"
                                         << "not an upgrade file" << 1;
    QTest::newRow("missing file") << "missing"
                                  << "file"
                                  << "Wrong file header" << 0 << 0 << "untouched"
                                  << "none.upg: No such file or directory" << 1;
    QTest::newRow("file refused before the converter") << "checksum"
                                                       << "file"
                                                       << "" << 0 << 0 << "untouched"
                                                       << "checksum A is 0x" << 1;
    QTest::newRow("no converter") << "absent"
                                  << "connect"
                                  << "USB Timeout\nCheck USB Cable" << 0 << 0 << "untouched"
                                  << "no converter answered" << 1;
    QTest::newRow("bootloader version unreadable")
        << "version"
        << "identify"
        << "Bootloader Version Read Error" << 0 << 0 << "as-found"
        << "0x08003fd0" << 1;
    QTest::newRow("interface held by another program")
        << "busy"
        << "connect"
        << "USB Timeout\nCheck USB Cable" << 0 << 0 << "untouched"
        << "failed in step connect: the converter (USB 16c0:078b) is in use by another program"
        << 1;
    QTest::newRow("the unit asked for leaves the bus in the page loop")
        << "switch"
        << "firmware"
        << "Firmware verification failed\nStart the upgrade again" << 1 << 0 << "unknown"
        << "left the bus or stopped answering while page 120 was read back" << 1;
    QTest::newRow("unknown serial form") << "serial"
                                         << "identify"
                                         << "Serial:KT0000001x" << 0 << 0 << "as-found"
                                         << "\"KT0000001x\" tells no mode" << 1;
    QTest::newRow("never back after the reset")
        << "noreturn"
        << "enter-bootloader"
        << "USB timout\nCheck USB cable" << 0 << 0 << "unknown"
        << "did not come back" << 1;
    // One bootloader image flashed twice: the twin at the next port, in its
    // bootloader, must not be taken for the unit that did not come back.
    QTest::newRow("never back after the reset, a twin serial elsewhere")
        << "twin"
        << "enter-bootloader"
        << "USB timout\nCheck USB cable" << 0 << 0 << "unknown"
        << "did not come back" << 1;
    QTest::newRow("page write refused") << "pagewrite"
                                        << "firmware"
                                        << "ERROR" << 40 << 40 << "bootloader"
                                        << "refused page 40 at 0x08017800; " + advice << 1;
    QTest::newRow("cable pulled in the page loop")
        << "pagepull"
        << "firmware"
        << "ERROR" << 40 << 40 << "unknown"
        << "left the bus or stopped answering while page 40 at 0x08017800 was written" << 1;
    QTest::newRow("cable pulled and back in the page loop")
        << "pagepullback"
        << "firmware"
        << "ERROR" << 40 << 40 << "bootloader"
        << "left the bus or stopped answering while page 40 at 0x08017800 was written" << 1;
    QTest::newRow("page stored wrong")
        << "pagecorrupt"
        << "firmware"
        << "Firmware verification failed\nStart the upgrade again" << 120 << 119 << "bootloader"
        << "1 of 120 pages did not read back" << 1;
    QTest::newRow("page read-back refused")
        << "pageread"
        << "firmware"
        << "Firmware verification failed\nStart the upgrade again" << 120 << 119 << "bootloader"
        << "1 of 120 pages did not read back" << 1;
    QTest::newRow("stopped in the page loop")
        << "signal"
        << "firmware"
        << "Writting firmware ... " << 30 << 30 << "bootloader"
        << "stopped by SIGTERM in step firmware: " + advice << 143;
    QTest::newRow("stopped in the external flash write")
        << "signalext"
        << "external-write"
        << "Writting External Flash ... " << 120 << 120 << "bootloader"
        << "stopped by SIGINT in step external-write: " + advice << 130;
    // Once the run has seen the application, too late to stop it: the
    // record still goes out.
    QTest::newRow("stopped after the run") << "signallate"
                                           << "start-application"
                                           << "OK" << 120 << 120 << "new-application"
                                           << "SIGTERM came after the run had ended" << 143;
    QTest::newRow("external write refused") << "extwrite"
                                            << "external-write"
                                            << "Error" << 120 << 120 << "bootloader"
                                            << "external flash write failed" << 1;
    QTest::newRow("external read refused") << "extread"
                                           << "external-verify"
                                           << "Error" << 120 << 120 << "bootloader"
                                           << "external flash read-back failed" << 1;
    // A summary instead of two 80 KB dumps.
    QTest::newRow("external stored wrong")
        << "extcorrupt"
        << "external-verify"
        << "Error" << 120 << 120 << "bootloader"
        << "differs from the file in 1 bytes, first at external flash address 0x01000" << 1;
    // Refused on the first request, its repeat and the one more asked of a
    // unit seen still in its bootloader.
    QTest::newRow("restart into the application refused")
        << "startrefused"
        << "start-application"
        << "Start Error\nThe converter refused to start the new firmware" << 120 << 120
        << "bootloader"
        << "refused the request to start" << 1;
    // The bootloader does not start an application whose checksum is wrong.
    QTest::newRow("stays in its bootloader")
        << "staysbootloader"
        << "start-application"
        << "Start Error\nThe converter stays in its bootloader" << 120 << 120 << "bootloader"
        << "stays in its bootloader" << 1;
    QTest::newRow("never back after the start")
        << "startnoreturn"
        << "start-application"
        << "Start Error\nThe converter did not come back" << 120 << 120 << "unknown"
        << "did not come back after the restart into" << 1;
}

void TestCliUpgrade::failures()
{
    QFETCH(QString, kind);
    QFETCH(QString, step);
    QFETCH(QString, lastLine);
    QFETCH(int, written);
    QFETCH(int, verified);
    QFETCH(QString, converter);
    QFETCH(QString, message);
    QFETCH(int, exitCode);

    QString path = file;
    QStringList options;
    QTemporaryDir sysfs;
    struct SysfsBack
    {
        ~SysfsBack() { kelto::setSysfsRoot("/sys"); }
    } sysfsBack;
    if (kind == "header") {
        path = dir->filePath("notes.upg");
        QVERIFY(writeRawUpgradeFile(path, "Kelto Notes", "03", firmware.image));
    } else if (kind == "missing") {
        path = dir->filePath("none.upg");
    } else if (kind == "absent") {
        emu::removeAllDevices();
    } else if (kind == "busy") {
        emu::DeviceConfig c = emu::config();
        c.failClaim = true;
        emu::configure(c);
    } else if (kind == "switch") {
        // Both in their bootloaders; the first leaves during the read-back
        // of page 1 and the second must never be written instead.
        emu::setMode(emu::Mode::Bootloader);
        emu::DeviceConfig second;
        second.serial = "KT0000002";
        second.mode = emu::Mode::Bootloader;
        emu::addDevice(second);
        emu::Fault f = fault(emu::FaultKind::DropOff, 1, 2);
        f.comeBack = false;
        emu::injectFault(f);
        options << "--serial"
                << "KT0000001";
    } else if (kind == "twin") {
        emu::DeviceConfig c = emu::config();
        c.returnsAfterReset = false;
        emu::configure(c);
        emu::DeviceConfig twin;
        twin.serial = c.serial;
        twin.mode = emu::Mode::Bootloader;
        emu::addDevice(twin);
        emu::mirrorSysfs(sysfs.path().toStdString());
        kelto::setSysfsRoot(sysfs.path());
        options << "--port"
                << "1-1";
    } else if (kind == "version") {
        emu::injectFault(fault(emu::FaultKind::Error, 1, 1));
    } else if (kind == "serial") {
        emu::DeviceConfig c = emu::config();
        c.serialDescriptor = descriptorFor("KT0000001x");
        emu::configure(c);
    } else if (kind == "noreturn") {
        emu::DeviceConfig c = emu::config();
        c.returnsAfterReset = false;
        emu::configure(c);
    } else if (kind == "pagewrite") {
        emu::injectFault(fault(emu::FaultKind::Error, 3, 41));
    } else if (kind == "pagepull" || kind == "pagepullback") {
        emu::Fault f = fault(emu::FaultKind::DropOff, 3, 41);
        f.comeBack = kind == "pagepullback";
        f.comeBackAfterMs = 300;
        f.powerCycle = true;
        emu::injectFault(f);
    } else if (kind == "pagecorrupt") {
        emu::injectFault(fault(emu::FaultKind::Corrupt, 3, 9));
    } else if (kind == "pageread") {
        // The first request 1 reads the bootloader version.
        emu::injectFault(fault(emu::FaultKind::Error, 1, 1 + 30));
    } else if (kind == "extwrite") {
        emu::injectFault(fault(emu::FaultKind::Error, 6, 2, 300));
    } else if (kind == "extread") {
        emu::injectFault(fault(emu::FaultKind::Error, 5, 2, 300));
    } else if (kind == "extcorrupt") {
        emu::injectFault(fault(emu::FaultKind::Corrupt, 6, 17));
    } else if (kind == "signal") {
        // Raised in the Upgrader's thread right after the 30th page went out.
        auto pages = std::make_shared<int>(0);
        emu::setTransferHook([pages](const emu::TransferRecord &t) {
            if (t.request == 3 && ++*pages == 30)
                std::raise(SIGTERM);
        });
    } else if (kind == "signalext") {
        auto chunks = std::make_shared<int>(0);
        emu::setTransferHook([chunks](const emu::TransferRecord &t) {
            if (t.request == 6 && ++*chunks == 10)
                std::raise(SIGINT);
        });
    } else if (kind == "signallate") {
        // At the identity read of the first look for the new application.
        auto restarts = std::make_shared<int>(0);
        emu::setTransferHook([restarts](const emu::TransferRecord &t) {
            if (t.request == 4)
                ++*restarts;
            else if (t.request == 254 && *restarts == 2 && ++*restarts)
                std::raise(SIGTERM);
        });
    } else if (kind == "startrefused") {
        emu::injectFault(fault(emu::FaultKind::Error, 4, 2, 3));
    } else if (kind == "checksum" || kind == "staysbootloader") {
        path = withFlippedApplicationByte(file);
        if (kind == "staysbootloader")
            options << "--force";
    } else if (kind == "startnoreturn") {
        emu::setMode(emu::Mode::Bootloader);
        emu::DeviceConfig c = emu::config();
        c.returnsAfterReset = false;
        emu::configure(c);
    }

    const CliResult r = runCli(QStringList {"upgrade", "--json"} + options + QStringList {path});
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    if (exitCode == 1)
        QVERIFY2(r.err.contains("failed in step " + step), qPrintable(r.err));
    // Dumps of the external flash stay out of the output.
    QVERIFY(r.out.size() < 20000);
    if (kind == "switch") {
        QCOMPARE(emu::transferLog(3).size(), size_t(1));
        QVERIFY(emu::applicationValid(1));
    }
    const QJsonObject o = lastRecord(r.out);
    const bool late = kind == "signallate";
    QCOMPARE(o.value("success").toBool(), late);
    QCOMPARE(o.value("step").toString(), step);
    QCOMPARE(o.value("last_line").toString(), lastLine);
    QCOMPARE(o.value("pages_written").toInt(), written);
    QCOMPARE(o.value("pages_verified").toInt(), verified);
    QCOMPARE(o.value("converter").toString(), converter);
    QCOMPARE(o.value("interrupted").toString(),
        QString(late              ? ""
                : exitCode == 143 ? "SIGTERM"
                : exitCode == 130 ? "SIGINT"
                                  : ""));
    // The transfer in flight ends, the next one never starts.
    if (kind == "signalext")
        QCOMPARE(emu::transferLog(6).size(), size_t(10));
    QCOMPARE(o.contains("external_mismatch"), kind == "extcorrupt");
    // A unit that failed is never started on a half-verified firmware, and
    // the record says where it is.
    if (converter == "bootloader")
        QCOMPARE(emu::mode(), emu::Mode::Bootloader);
    if (converter == "untouched")
        QVERIFY(emu::transferLog().empty());
}

void TestCliUpgrade::progressOnTerminalAndInLogs_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::newRow("terminal") << true;
    QTest::newRow("log") << false;
}

void TestCliUpgrade::progressOnTerminalAndInLogs()
{
    QFETCH(bool, terminal);
    const CliResult r = runCli({"upgrade", file}, terminal);
    QCOMPARE(r.exitCode, 0);
    const QStringList phases {"Firmware", "External flash write", "External flash verify"};
    if (terminal) {
        // One bar per phase redrawn in place, and no percentage line.
        for (const QString &p : phases)
            QVERIFY2(r.out.contains(
                         "\r\x1b[K" + p.leftJustified(22) + " [" + QString(40, '#') + "] 100%"),
                qPrintable(p));
        QVERIFY(!r.out.contains("Firmware 10%\n"));
        // Text lines start on a cleared line.
        QVERIFY(r.out.contains("\r\x1b[KOK\n"));
    } else {
        QVERIFY(!r.out.contains('\r'));
        for (const QString &p : phases) {
            for (int tenth = 0; tenth <= 10; ++tenth)
                QVERIFY2(r.out.contains(QString("\n%1 %2%\n").arg(p).arg(tenth * 10)),
                    qPrintable(QString("%1 %2").arg(p).arg(tenth * 10)));
        }
        // "Writting firmware" is lower case: only the eleven percentage lines.
        QCOMPARE(r.out.count("Firmware "), 11);
    }
}

void TestCliUpgrade::history_data()
{
    QTest::addColumn<QString>("store"); // "good", "damaged" or a path
    QTest::addColumn<bool>("required");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("recorded") << "good" << false << 0;
    QTest::newRow("damaged: named, and the run goes on") << "damaged" << false << 0;
    QTest::newRow("damaged and required: refused") << "damaged" << true << 1;
    QTest::newRow("folder not made and required: refused")
        << "/proc/kelto/history.sqlite" << true << 1;
}

void TestCliUpgrade::history()
{
    QFETCH(QString, store);
    QFETCH(bool, required);
    QFETCH(int, exitCode);

    QString path = store;
    if (store == "good" || store == "damaged")
        path = dir->filePath(store + ".sqlite");
    if (store == "damaged") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("kelto\n") == 6);
    }
    QString error;
    const auto location = kelto::history::parseLocation(path, &error);
    // The run's entry is there, unfinished, when its first request reaches
    // the converter.
    int unfinishedAtFirstRequest = -1;
    emu::setTransferHook([&](const emu::TransferRecord &) {
        if (unfinishedAtFirstRequest >= 0 || store != "good")
            return;
        kelto::history::Store s(*location, kelto::history::Store::Mode::ReadOnly);
        const auto entries = s.upgrades(QString(), QDateTime());
        unfinishedAtFirstRequest = entries ? int(entries->size()) : -2;
        if (entries && !entries->isEmpty() && entries->first().status() != "unfinished")
            unfinishedAtFirstRequest = -3;
    });
    QStringList arguments {"upgrade", "--json", "--history", path};
    if (required)
        arguments << "--require-history";
    const CliResult r = runCli(arguments << file);
    emu::setTransferHook(nullptr);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(deviceHasFirmware(firmware), exitCode == 0);
    const QJsonObject o = lastRecord(r.out);
    if (store == "good") {
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        QVERIFY(!o.contains("history_problem"));
        QCOMPARE(unfinishedAtFirstRequest, 1);
        kelto::history::Store s(*location);
        const auto entries = s.upgrades("KT0000001", QDateTime());
        QVERIFY2(entries && entries->size() == 1, qPrintable(s.error()));
        const kelto::history::UpgradeEntry &e = entries->first();
        QCOMPARE(e.status(), QString("ok"));
        QCOMPARE(e.file, file);
        QCOMPARE(e.fileSha256, kelto::history::fileSha256(file));
        QCOMPARE(e.record.value("pages_verified").toInt(), 120);
        return;
    }
    // Named on stderr and in the record before the converter is touched.
    QVERIFY2(r.err.contains(path), qPrintable(r.err));
    QVERIFY(o.value("history_problem").toString().contains(path));
    if (required) {
        QCOMPARE(o.value("converter").toString(), QString("untouched"));
        for (const emu::TransferRecord &t : emu::transferLog())
            QCOMPARE(t.requestType, uint8_t(0x80));
    }
}

QTEST_GUILESS_MAIN(TestCliUpgrade)
#include "tst_cli_upgrade.moc"
