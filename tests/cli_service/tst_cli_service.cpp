// The service reads of kelto-cli against the emulated converter: what they
// print, and that a failed request is an exit code 1 rather than output.
#include "clirun.h"
#include "dumpbuffer.h"
#include "emulator.h"
#include "usbdevice.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using kelto::test::CliResult;
using kelto::test::runCli;
namespace emu = kelto::emu;

Q_DECLARE_METATYPE(emu::Fault)

namespace {

emu::Fault fault(emu::FaultKind kind, int request, unsigned nth, int shortCount = 0)
{
    emu::Fault f;
    f.kind = kind;
    f.request = request;
    f.nth = nth;
    f.shortCount = shortCount;
    return f;
}

// The dump with the buffer's address, which differs from run to run, blanked.
// A summary block and records whose every field tells where it came from.
void knownBallastData()
{
    std::vector<uint8_t> vrb(864, 0);
    vrb[0] = 0x01; // initialised: ballast 0
    vrb[15] = 0x80; // withdraw: ballast 63
    for (int n = 0; n < 64; ++n) {
        vrb[size_t(24 + n)] = uint8_t(n); // dtr
        vrb[size_t(88 + n)] = uint8_t(200 + n % 50); // level
        vrb[size_t(156 + n)] = uint8_t(0xA0 + n % 16); // status
        vrb[size_t(220 + n)] = uint8_t(n + 1); // start_lvl
        vrb[size_t(284 + n)] = uint8_t(254); // end_lvl
        const uint32_t start = 123456789u + uint32_t(n);
        const uint32_t end = uint32_t(n) * 1000u;
        for (int b = 0; b < 4; ++b) {
            vrb[size_t(348 + 4 * n + b)] = uint8_t(start >> (8 * b));
            vrb[size_t(604 + 4 * n + b)] = uint8_t(end >> (8 * b));
        }
    }
    std::vector<uint8_t> records(64 * 28, 0);
    for (int n = 0; n < 64; ++n) {
        records[size_t(28 * n + 2)] = uint8_t(0x10 + n); // LL
        records[size_t(28 * n + 3)] = uint8_t(0x20); // MM
        records[size_t(28 * n + 4)] = uint8_t(0xC0); // HH
        records[size_t(28 * n + 5)] = uint8_t(n == 9 ? 7 : 63 - n); // short address
    }
    emu::setBallastData(vrb, records);
}

} // namespace

class TestCliService : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void statusWord_data();
    void statusWord();
    void readDumpsDecodedMemory_data();
    void readDumpsDecodedMemory();
    void ballastsAsText();
    void ballastsAsJson();
    void failedRequests_data();
    void failedRequests();
    void severalConverters();
    void bootloaderVersionStaysInItsBlock_data();
    void bootloaderVersionStaysInItsBlock();
};

void TestCliService::init()
{
    emu::reset();
}

void TestCliService::statusWord_data()
{
    QTest::addColumn<uint>("word");
    QTest::addColumn<QString>("bits");
    QTest::newRow("zero") << 0u << QString(32, '0');
    QTest::newRow("top and bottom bit") << 0x80000001u << "1" + QString(30, '0') + "1";
    QTest::newRow("all bits") << 0xFFFFFFFFu << QString(32, '1');
}

void TestCliService::statusWord()
{
    QFETCH(uint, word);
    QFETCH(QString, bits);
    emu::setStatusWord(word);
    const CliResult text = runCli({"status"});
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out, "Status: " + bits + "\n");

    const CliResult json = runCli({"status", "--json"});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(o.value("status").toDouble(), double(word));
    QCOMPARE(o.value("bits").toString(), bits);
    // Reading changes nothing and leaves the device closed.
    QCOMPARE(emu::statusWord(), word);
    QCOMPARE(emu::openHandles(), 0);
}

void TestCliService::readDumpsDecodedMemory_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("length");
    QTest::newRow("three chunks") << "0x08004000" << 5000;
    QTest::newRow("without prefix") << "8004100" << 16;
    QTest::newRow("one byte") << "0x08004001" << 1;
}

void TestCliService::readDumpsDecodedMemory()
{
    QFETCH(QString, address);
    QFETCH(int, length);
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i)
        bytes[size_t(i)] = uint8_t(i * 7 + 3);
    const uint32_t at = address.toUInt(nullptr, 16);
    emu::writeFlash(at, bytes);

    const CliResult r = runCli({"read", address, QString::number(length)});
    QCOMPARE(r.exitCode, 0);
    // Rows labelled with converter addresses, not the host's.
    QCOMPARE(r.out, QString::fromLatin1(dumpMemory(bytes.data(), length, at)) + "\n");
    QVERIFY(r.out.contains(QString("\n0x%1: ").arg(at, 8, 16, QChar('0'))));

    QCOMPARE(int(emu::transferLog(1).size()), (length + 2047) / 2048);
}

void TestCliService::ballastsAsText()
{
    knownBallastData();
    const CliResult r = runCli({"ballasts"});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split('\n');
    QCOMPARE(lines.at(0), "Initialised: 0b" + QString(63, '0') + "1");
    QCOMPARE(lines.at(1), "Withdraw:    0b1" + QString(63, '0'));
    // Each table: a blank line, its name, eight rows of eight cells.
    const auto row = [&](const QString &table, int r) {
        const int at = int(lines.indexOf(table));
        return at < 0 ? QString() : lines.value(at + 1 + r).trimmed();
    };
    QCOMPARE(row("DTR", 0), QString("000 001 002 003 004 005 006 007"));
    QCOMPARE(row("LEVEL", 7), QString("206 207 208 209 210 211 212 213"));
    QCOMPARE(row("STATUS", 1), QString("0xa8 0xa9 0xaa 0xab 0xac 0xad 0xae 0xaf"));
    // Ballast 9 is row 1, column 1.
    QCOMPARE(row("SHORT ADDREES", 1).section(' ', 1, 1), QString("07"));
    QCOMPARE(row("random_address_HH", 0).section(' ', 0, 0), QString("0xc0"));
    QCOMPARE(row("random_address_LL", 7).section(' ', 7, 7), QString("0x4f"));
    QCOMPARE(row("start_lvl", 0).section(' ', 0, 0), QString("001"));
    QCOMPARE(row("start_time", 0).section(' ', 0, 0), QString("123456789"));
    QCOMPARE(row("end_time", 0).section(' ', 0, 1), QString("00000000 00001000"));
    QCOMPARE(r.out.count(QRegularExpression("\n  ")), 11 * 8);
}

void TestCliService::ballastsAsJson()
{
    knownBallastData();
    const CliResult r = runCli({"ballasts", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("initialised").toString(), QString("0x0000000000000001"));
    QCOMPARE(o.value("withdraw").toString(), QString("0x8000000000000000"));
    const QJsonArray list = o.value("ballasts").toArray();
    QCOMPARE(list.size(), 64);
    const QJsonObject b9 = list.at(9).toObject();
    QCOMPARE(b9.value("index").toInt(), 9);
    QCOMPARE(b9.value("dtr").toInt(), 9);
    QCOMPARE(b9.value("level").toInt(), 209);
    QCOMPARE(b9.value("status").toInt(), 0xA9);
    QCOMPARE(b9.value("short_address").toInt(), 7);
    QCOMPARE(b9.value("random_address").toInt(), 0xC02019);
    QCOMPARE(b9.value("start_lvl").toInt(), 10);
    QCOMPARE(b9.value("end_lvl").toInt(), 254);
    QCOMPARE(b9.value("start_time").toDouble(), 123456798.0);
    QCOMPARE(b9.value("end_time").toInt(), 9000);
}

void TestCliService::failedRequests_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<emu::Fault>("fault");
    QTest::addColumn<QString>("message");

    QTest::newRow("status, short reply")
        << QStringList {"status"} << fault(emu::FaultKind::Short, 9, 1, 3) << "Status: ERROR";
    // What came before the failure is shown, and where it stopped.
    QTest::newRow("read, second chunk refused")
        << QStringList {"read", "0x08004000", "4096"} << fault(emu::FaultKind::Error, 1, 2)
        << "Read ERROR: the converter did not return 2048 bytes at 0x08004800 (outside its "
           "memory?); the read stopped there; the 2048 bytes read before it, from 0x08004000 to "
           "0x080047ff, are shown";
    const emu::Fault none = fault(emu::FaultKind::Error, 200, 1000);
    QTest::newRow("read past the converter's memory")
        << QStringList {"read", "0x0805F800", "4096"} << none
        << "did not return 2048 bytes at 0x08060000 (outside its memory?); the read stopped "
           "there; the 2048 bytes read before it, from 0x0805f800 to 0x0805ffff, are shown";
    QTest::newRow("status in the bootloader") << QStringList {
        "status"} << none << "the converter is in its bootloader (serial KT0000001b)";
    QTest::newRow("ballasts in the bootloader")
        << QStringList {"ballasts"} << none
        << "in its bootloader (serial KT0000001b), which does not answer ballasts";
    QTest::newRow("ballasts, summary refused")
        << QStringList {"ballasts"} << fault(emu::FaultKind::Error, 10, 1) << "Error";
    QTest::newRow("ballasts, records short")
        << QStringList {"ballasts", "--json"} << fault(emu::FaultKind::Short, 11, 1, 28 * 63)
        << "Error";
    emu::Fault away = fault(emu::FaultKind::Error, 255, 1);
    away.count = 1000;
    QTest::newRow("status, identity refused")
        << QStringList {"status"} << away << "no converter found";
}

void TestCliService::failedRequests()
{
    QFETCH(QStringList, arguments);
    QFETCH(emu::Fault, fault);
    QFETCH(QString, message);
    if (message.contains("bootloader"))
        emu::setMode(emu::Mode::Bootloader);
    emu::injectFault(fault);
    const CliResult r = runCli(arguments);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    // Only a read that got somewhere shows something: its rows, up to the
    // last address it read.
    if (message.contains(" are shown")) {
        const QStringList rows = r.out.trimmed().split('\n');
        QCOMPARE(rows.size(), 1 + 2048 / 16);
        const QString last = message.section(" to ", -1).left(9) + "0: ";
        QVERIFY2(rows.last().startsWith(last), qPrintable(rows.last()));
    } else {
        QVERIFY(r.out.isEmpty());
    }
}

void TestCliService::severalConverters()
{
    emu::DeviceConfig c;
    c.serial = "KT0000002";
    c.mode = emu::Mode::Bootloader;
    c.bootloaderVersion = "KBL 2.05";
    emu::addDevice(c);
    c.serial = "KT0000003";
    c.noAccess = true;
    emu::addDevice(c);
    // The library does not list a node it cannot open; the kernel's sysfs
    // entry is what shows the third unit.
    QTemporaryDir sysfs;
    const QString node = sysfs.filePath("bus/usb/devices/1-3");
    QVERIFY(QDir().mkpath(node));
    for (const auto &[name, value] : {std::pair {"idVendor", "16c0\n"}, {"idProduct", "078b\n"},
             {"busnum", "1\n"}, {"devnum", "4\n"}, {"serial", "KT0000003\n"}}) {
        QFile f(node + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(value) > 0);
    }
    kelto::setSysfsRoot(sysfs.path());
    struct SysfsBack
    {
        ~SysfsBack() { kelto::setSysfsRoot("/sys"); }
    } back;

    const CliResult listed = runCli({"list", "--json"});
    QCOMPARE(listed.exitCode, 0);
    const QJsonArray all = QJsonDocument::fromJson(listed.out.toUtf8())["converters"].toArray();
    QCOMPARE(all.size(), 3);
    QCOMPARE(all[0]["serial"].toString() + all[0]["mode"].toString()
            + all[0]["bootloader_version"].toString(),
        QString("KT0000001applicationKBL 2.04"));
    QCOMPARE(all[1]["usb_serial"].toString() + all[1]["mode"].toString()
            + all[1]["bootloader_version"].toString(),
        QString("KT0000002bbootloaderKBL 2.05"));
    QCOMPARE(all[2]["accessible"].toBool(), false);
    QCOMPARE(all[2]["problem"].toString(), QString("not accessible (permission denied)"));

    // A command that changes a converter takes none at random.
    emu::clearTransferLog();
    const CliResult refused = runCli({"upgrade", "release.upg"});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains(
                 "3 converters present; choose one with --serial SERIAL or --port PATH:\n"
                 "  KT0000001  bus 001 device 002  application\n"),
        qPrintable(refused.err));
    for (const auto &r : emu::transferLog())
        QCOMPARE(r.requestType, uint8_t(0x80)); // serials read, nothing else

    // --serial finds the unit in its bootloader by its serial alone.
    const CliResult one = runCli({"read", "--serial", "KT0000002", "0x08003FE0", "32"});
    QCOMPARE(one.exitCode, 0);
    QVERIFY2(one.out.contains("KBL 2.05") && one.out.contains("KT0000002"), qPrintable(one.out));
    QCOMPARE(runCli({"status", "--serial", "KT00000"}).exitCode, 2);
}

void TestCliService::bootloaderVersionStaysInItsBlock_data()
{
    // The text has the 16 bytes from 0x08003FE0; the byte after them is
    // another field, whatever the converter holds there.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("15 characters and NUL") << QByteArray(15, 'V') + '\0' + "X" << QString(15, 'V');
    QTest::newRow("16 characters, no NUL") << QByteArray(16, 'V') + "X" << QString(16, 'V');
    QTest::newRow("17 characters") << QByteArray(17, 'V') << QString(16, 'V');
}

void TestCliService::bootloaderVersionStaysInItsBlock()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, shown);
    emu::writeFlash(0x08003FE0, std::vector<uint8_t>(text.begin(), text.end()));
    const CliResult r = runCli({"list", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray all = QJsonDocument::fromJson(r.out.toUtf8())["converters"].toArray();
    QCOMPARE(all.size(), 1);
    QCOMPARE(all[0]["bootloader_version"].toString(), shown);
}

QTEST_GUILESS_MAIN(TestCliService)
#include "tst_cli_service.moc"
