// The file commands of kelto-cli: the same bytes as the window's commands,
// inspect's verdicts, and the command line's usage errors.
#include "bootloaderimage.h"
#include "choosefile.h"
#include "clirun.h"
#include "darvo_bootloader.h"
#include "hextobin.h"
#include "hexwriter.h"
#include "imagecodec.h"
#include "modaldriver.h"
#include "samplefirmware.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QtEndian>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

using kelto::hexgen::HexWriter;
using kelto::test::CliResult;
using kelto::test::ModalDriver;
using kelto::test::runCli;

namespace {

constexpr int streamHeaderSize = 66; // texts and length field before the image

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray hexWith(uint32_t address, const QByteArray &bytes, const QByteArray &base)
{
    // Appends one more data record before the base build's own records.
    HexWriter h;
    h.data(address, bytes);
    return h.text() + base;
}

// The base bootloader build with `bytes` in place of its own at `address`,
// written whole: records that overlap with other bytes are refused.
QByteArray overriding(const QByteArray &base, uint32_t address, const QByteArray &bytes)
{
    QTemporaryFile file;
    if (!file.open() || file.write(base) != base.size() || !file.flush())
        return QByteArray();
    QByteArray image(0x4000, '\0');
    if (HexToBin(file.fileName(), reinterpret_cast<unsigned char *>(image.data()), 0x08000000,
            0x08003FFF)
        != 0)
        return QByteArray();
    image.replace(int(address - 0x08000000), int(bytes.size()), bytes);
    HexWriter h;
    h.data(0x08000000, image);
    h.end();
    return h.text();
}

QByteArray flipped(QByteArray bytes, int offset)
{
    bytes[offset] = char(bytes.at(offset) ^ 0x10);
    return bytes;
}

// A data stream of two strings and a byte array, like an upgrade file.
QByteArray streamOf(const QString &header, const QString &version, const QByteArray &block)
{
    QByteArray bytes;
    QDataStream s(&bytes, QIODevice::WriteOnly);
    s << header << version << block;
    return bytes;
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList({"Kelto_Bootloader_*.bin"}, QDir::Files, QDir::Name);
}

} // namespace

class TestCliFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void makeUpgMatchesWindow_data();
    void makeUpgMatchesWindow();
    void makeUpgReadsBuildsStrictly_data();
    void makeUpgReadsBuildsStrictly();
    void outputsNeverDestroyInputs_data();
    void outputsNeverDestroyInputs();
    void makeBootBinMatchesWindow_data();
    void makeBootBinMatchesWindow();
    void makeBootBinDefaultsToToday_data();
    void makeBootBinDefaultsToToday();
    void makeBootBinRefuses_data();
    void makeBootBinRefuses();
    void makeBootBinIssuesSerialsOnce_data();
    void makeBootBinIssuesSerialsOnce();
    void makeBootBinIssuesOnce_data();
    void makeBootBinIssuesOnce();
    void inspectVerdicts_data();
    void inspectVerdicts();
    void inspectReportsSections();
    void hostileInputsAndFullDisks_data();
    void hostileInputsAndFullDisks();
    void usageErrors_data();
    void usageErrors();
    void helpForEachCommand_data();
    void helpForEachCommand();

private:
    QString write(const QString &name, const QByteArray &bytes);
    QString goodUpgradeFile();

    std::unique_ptr<QTemporaryDir> dir;
};

void TestCliFiles::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    // make-bootbin records the serials it issues: every row issues afresh.
    qputenv("KELTO_HISTORY", dir->filePath("history.sqlite").toUtf8());
}

QString TestCliFiles::write(const QString &name, const QByteArray &bytes)
{
    const QString path = dir->filePath(name);
    return writeAll(path, bytes) ? path : QString();
}

QString TestCliFiles::goodUpgradeFile()
{
    const QString hex = write("good.hex", kelto::sample::applicationHex());
    const QString upg = dir->filePath("good.upg");
    if (runCli({"make-upg", hex, upg}).exitCode != 0)
        return QString();
    return upg;
}

void TestCliFiles::makeUpgMatchesWindow_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QStringList>("options");
    // Message boxes the window shows (one per failed conversion pass).
    QTest::addColumn<int>("boxes");
    // The window stops before its save dialog.
    QTest::addColumn<bool>("brandRejected");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("cliWrites");
    QTest::addColumn<QString>("message");

    const QByteArray sample = kelto::sample::applicationHex();
    QTest::newRow("sample build") << sample << QStringList() << 0 << false << 0 << true << "";
    // The window makes an all-zero release of it.
    QTest::newRow("end record only") << QByteArray(":00000001FF\r\n") << QStringList() << 0 << false
                                     << 1 << false << "no data in the application window";
    // Bytes outside both windows (bootloader, above the external section)
    // and values where the checksums go are all left to the conversion.
    QTest::newRow("data outside the windows")
        << hexWith(0x08000100, "boot", hexWith(0x08054000, "tail", sample)) << QStringList() << 0
        << false << 0 << true << "";
    QTest::newRow("foreign brand")
        << hexWith(0x0803FFD0, QByteArray("\x01\x00", 2), QByteArray(":00000001FF\r\n"))
        << QStringList() << 0 << true << 1 << false << "Err: Invalid brand!";
    // A few good records, then a line that is no record at all.
    const QByteArray broken
        = sample.split('\n').mid(0, 5).join('\n') + "\nx is not a record\r\n:00000001FF\r\n";
    QTest::newRow("conversion error") << broken << QStringList() << 2 << false << 1 << false
                                      << "build.hex:6: line does not start with ':'";
    QTest::newRow("conversion error, forced")
        << broken << QStringList {"--force"} << 2 << false << 1 << true << "HexToBin error: -2)";
}

void TestCliFiles::makeUpgMatchesWindow()
{
    QFETCH(QByteArray, hex);
    QFETCH(QStringList, options);
    QFETCH(int, boxes);
    QFETCH(bool, brandRejected);
    QFETCH(int, exitCode);
    QFETCH(bool, cliWrites);
    QFETCH(QString, message);

    const QString hexFile = write("build.hex", hex);
    const QString windowFile = dir->filePath("window.upg");
    const QString cliFile = dir->filePath("cli.upg");
    {
        Darvo_bootloader w;
        ModalDriver d;
        d.file(hexFile);
        for (int i = 0; i < boxes; ++i)
            d.ok();
        if (!brandRejected)
            d.file(windowFile);
        w.slotpushButtonCreateUpg(false);
        QVERIFY(d.finished());
    }

    const CliResult r = runCli(QStringList {"make-upg"} + options + QStringList {hexFile, cliFile});
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(QFile::exists(cliFile), cliWrites);
    QCOMPARE(QFile::exists(windowFile), !brandRejected);
    if (cliWrites) {
        const QByteArray expected = readAll(windowFile);
        QCOMPARE(expected.size(), 393282);
        QVERIFY(readAll(cliFile) == expected);
    }
    if (message.isEmpty())
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    else
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
}

void TestCliFiles::makeUpgReadsBuildsStrictly_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<int>("exitCode");
    // On stderr when refused, on stdout when taken.
    QTest::addColumn<QString>("message");

    const auto build = [](int recordSize, const QByteArray &lineEnd,
                           const std::function<void(HexWriter &)> &more = {}) {
        HexWriter h(recordSize, lineEnd);
        h.data(0x08004000, QByteArray(600, '\x5A'));
        if (more)
            more(h);
        h.end();
        return h.text();
    };
    const QByteArray good = build(16, "\r\n");
    const int eof = good.lastIndexOf(":00000001FF");
    QByteArray badSum = good;
    badSum[good.indexOf('\n', good.indexOf('\n') + 1) - 2] = 'F'; // second data record

    QTest::newRow("16-byte records") << good << 0 << "checksum A";
    QTest::newRow("255-byte records, LF") << build(255, "\n") << 0 << "checksum A";
    QTest::newRow("32-byte records, CR") << build(32, "\r") << 0 << "checksum A";
    QTest::newRow("segment and start records") << build(16, "\r\n", [](HexWriter &h) {
        h.raw(":020000021000EC\r\n"); // segment 0x1000: address 0x10000 on
        h.raw(":0400000300003800C1\r\n");
        h.raw(":0400000508004000AF\r\n");
    }) << 0 << "checksum A";
    QTest::newRow("a bootloader and an application")
        << build(16, "\r\n", [](HexWriter &h) { h.data(0x08000000, "boot"); }) << 0
        << "4 bytes outside the converted windows, left out: 0x08000000-0x08000003";
    QTest::newRow("same bytes twice")
        << build(16, "\r\n", [](HexWriter &h) { h.data(0x08004100, QByteArray(8, '\x5A')); }) << 0
        << "checksum A";
    QTest::newRow("other bytes twice")
        << build(16, "\r\n", [](HexWriter &h) { h.data(0x08004101, "x"); }) << 1
        << "build.hex:40: 0x08004101 was given 0x5A by an earlier record, this one gives 0x78";
    QTest::newRow("wrong checksum")
        << badSum << 1 << "build.hex:2: checksum 0x1F is wrong (0x10 expected)";
    QTest::newRow("truncated build")
        << good.left(eof) << 1 << "build.hex:40: the file ends without an end-of-file record";
    QTest::newRow("line that is no record") << good.left(eof) + "garbage\r\n" + good.mid(eof) << 1
                                            << "build.hex:40: line too short for a record";
    QTest::newRow("count against length")
        << good.left(eof) + ":0500000001020304F5\r\n" + good.mid(eof) << 1
        << "build.hex:40: byte count 5 calls for 21 characters, the line has 19";
    QTest::newRow("unsupported record type") << good.left(eof) + ":00000006FA\r\n"
            + good.mid(eof) << 1 << "build.hex:40: record type 0x06 is not supported";
    QTest::newRow("record after the end") << good + ":00000001FF\r\n"
                                          << 1 << "build.hex:41: data after the end-of-file record";
    QTest::newRow("empty file") << QByteArray() << 1
                                << "build.hex:1: the file ends without an end-of-file record";
    QTest::newRow("end record only")
        << QByteArray(":00000001FF\n") << 1 << "no data in the application window";
    QTest::newRow("bootloader build")
        << kelto::sample::bootloaderHex() << 1 << "no data in the application window";
    HexWriter zeros;
    zeros.data(0x08004000, QByteArray(64, '\0'));
    zeros.end();
    QTest::newRow("application of zeros only")
        << zeros.text() << 1
        << "the application area holds no data; the upgrade would refuse the file";
    // Outside the converted windows too.
    const QByteArray twice = build(16, "\r\n", [](HexWriter &h) {
        h.data(0x08000000, "boot");
        h.data(0x08000002, "x");
    });
    QTest::newRow("other bytes twice, outside the windows")
        << twice << 1 << "build.hex:41: 0x08000002 was given 0x6F by an earlier record, this one";
    QTest::newRow("linear address record at address 0001")
        << good.left(eof) + ":020001040800F1\r\n" + good.mid(eof) << 1
        << "build.hex:40: extended linear address record with address field 0x0001 (0x0000";
    QTest::newRow("start address record at address 0100")
        << good.left(eof) + ":0401000508004000AE\r\n" + good.mid(eof) << 1
        << "build.hex:40: start address record with address field 0x0100";
    QTest::newRow("data after segment and linear records")
        << good.left(eof) + ":020000021000EC\r\n:0100000000FF\r\n" + good.mid(eof) << 1
        << "build.hex:41: data after both an extended segment address (0x1000) and an extended "
           "linear address (0x0800)";
    QTest::newRow("padding after the end")
        << good + QByteArray("\0\0\x1A  \t\r\n\0", 9) << 0 << "checksum A";
    QTest::newRow("Ctrl-Z on the end record's line")
        << good.left(good.size() - 2) + "\x1A" << 0 << "checksum A";
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + good << 1
                                     << "build.hex:1: the file starts with a UTF-8 byte order mark";
    QTest::newRow("record without its ':'") << good.left(eof)
            + "00000001FF\r\n" << 1 << "build.hex:40: the ':' that starts every record";
    QTest::newRow("LF CR line ends")
        << build(16, "\n\r") << 1 << "build.hex:1: the line ends with LF CR";
}

void TestCliFiles::makeUpgReadsBuildsStrictly()
{
    QFETCH(QByteArray, hex);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString hexFile = write("build.hex", hex);
    const QString upg = dir->filePath("out.upg");
    const CliResult r = runCli({"make-upg", hexFile, upg});
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? r.out : r.err).contains(message), qPrintable(r.out + r.err));
    QCOMPARE(QFile::exists(upg), exitCode == 0);
}

void TestCliFiles::outputsNeverDestroyInputs_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("window"); // the window's save dialog can name it
    QTest::addColumn<QString>("message");
    QTest::newRow("the input itself") << "input" << true << "is the input file";
    QTest::newRow("the input by another name") << "link" << false << "is the input file";
    QTest::newRow("a FIFO") << "fifo" << true << "is a FIFO; only a regular file is replaced";
    QTest::newRow("a folder") << "folder" << false << "is a folder; only a regular file is";
}

void TestCliFiles::outputsNeverDestroyInputs()
{
    QFETCH(QString, target);
    QFETCH(bool, window);
    QFETCH(QString, message);
    const QString hex = write("build.hex", kelto::sample::applicationHex());
    QString out = dir->filePath("out.upg");
    if (target == "input")
        out = hex;
    else if (target == "link")
        QVERIFY(
            ::link(QFile::encodeName(hex).constData(), QFile::encodeName(out).constData()) == 0);
    else if (target == "fifo")
        QVERIFY(::mkfifo(QFile::encodeName(out).constData(), 0600) == 0);
    else
        QVERIFY(QDir().mkdir(out));
    const QByteArray build = readAll(hex);

    const CliResult r = runCli({"make-upg", hex, out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    if (window) {
        Darvo_bootloader w;
        ModalDriver d;
        // The operator confirms the dialog's question whether to replace it.
        d.file(hex).custom([out](QWidget *dialog) {
            auto *fd = static_cast<QFileDialog *>(dialog);
            fd->setOption(QFileDialog::DontConfirmOverwrite);
            kelto::test::chooseFile(fd, out);
        });
        d.ok();
        w.slotpushButtonCreateUpg(false);
        QVERIFY(d.finished());
        QVERIFY2(d.seen().last().contains(message), qPrintable(d.seen().join('\n')));
    }
    QCOMPARE(readAll(hex), build);
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(out).constData(), &st), 0);
    QCOMPARE(S_ISFIFO(st.st_mode), target == "fifo");
    QCOMPARE(S_ISDIR(st.st_mode), target == "folder");
}

void TestCliFiles::makeBootBinMatchesWindow_data()
{
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("week");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");

    QTest::newRow("three units") << "18"
                                 << "51" << 1 << 3;
    QTest::newRow("first year and week") << "00"
                                         << "01" << 42 << 2;
    QTest::newRow("unit 9998 alone") << "99"
                                     << "53" << 9998 << 1;
    QTest::newRow("unit 9999 alone") << "25"
                                     << "10" << 9999 << 1;
}

void TestCliFiles::makeBootBinMatchesWindow()
{
    QFETCH(QString, year);
    QFETCH(QString, week);
    QFETCH(int, first);
    QFETCH(int, count);

    // A build whose serial bytes are already set: both must replace them.
    const QString hexFile = write(
        "boot.hex", overriding(kelto::sample::bootloaderHex(), 0x08003FF0, "XXXXXXXXXXXXXXXX"));
    const QString windowDir = dir->filePath("window");
    const QString cliDir = dir->filePath("cli");
    QVERIFY(QDir().mkpath(windowDir));
    {
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(windowDir));
        Darvo_bootloader w;
        ModalDriver d;
        d.file(hexFile).inputItem(year).inputItem(week).inputInt(first).inputInt(count);
        w.slotpushButtonCreateBootBin(false);
        QDir::setCurrent(before);
        QVERIFY(d.finished());
    }

    const CliResult r = runCli({"make-bootbin", hexFile, "--year", year, "--week", week, "--first",
        QString::number(first), "--count", QString::number(count), "--out", cliDir});
    QCOMPARE(r.exitCode, 0);
    const QStringList names = filesIn(windowDir);
    QCOMPARE(names.size(), count);
    QCOMPARE(filesIn(cliDir), names);
    QCOMPARE(r.out.count('\n'), count);
    for (const QString &name : names) {
        const QByteArray expected = readAll(QDir(windowDir).filePath(name));
        QCOMPARE(expected.size(), 16384);
        QVERIFY(readAll(QDir(cliDir).filePath(name)) == expected);
        QVERIFY(r.out.contains(name));
        // The serial replaces nine bytes; the build's bytes after it stay.
        QCOMPARE(expected.mid(0x3FF9, 7), QByteArray("XXXXXXX"));
    }
    const QString firstSerial = year + week + "0" + QString::number(first).rightJustified(4, '0');
    QCOMPARE(names.first(), "Kelto_Bootloader_" + firstSerial + ".bin");
}

void TestCliFiles::makeBootBinDefaultsToToday_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("mid-December") << QDate(2018, 12, 17) << "1851";
    // The ISO week and its year: 1 January 2021 is in week 53 of 2020.
    QTest::newRow("new year in last year's week 53") << QDate(2021, 1, 1) << "2053";
    QTest::newRow("new year in last year's week 52") << QDate(2023, 1, 1) << "2252";
    QTest::newRow("week 1 in December") << QDate(2024, 12, 30) << "2501";
}

void TestCliFiles::makeBootBinDefaultsToToday()
{
    QFETCH(QDate, today);
    QFETCH(QString, prefix);

    kelto::bootimage::setDateFunction([today] { return today; });
    const QString hexFile = write("boot.hex", kelto::sample::bootloaderHex());
    const CliResult r
        = runCli({"make-bootbin", hexFile, "--first", "7", "--count", "1", "--out", dir->path()});
    kelto::bootimage::setDateFunction(nullptr);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(filesIn(dir->path()), QStringList {"Kelto_Bootloader_" + prefix + "00007.bin"});
}

void TestCliFiles::makeBootBinRefuses_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("message");

    QTest::newRow("foreign brand")
        << overriding(kelto::sample::bootloaderHex(), 0x08003FD0, QByteArray("\x02\x00", 2)) << true
        << "Err: Invalid brand!";
    QTest::newRow("conversion error") << QByteArray(":10000000\r\nnot a record\r\n") << true
                                      << "boot.hex:1: line too short for a record";
    // The window would stamp serials into an all-zero image.
    QTest::newRow("missing file") << QByteArray() << false << "none.hex: No such file or directory";
    QTest::newRow("application build")
        << kelto::sample::applicationHex() << true << "no data in the bootloader window";
}

void TestCliFiles::makeBootBinRefuses()
{
    QFETCH(QByteArray, hex);
    QFETCH(bool, exists);
    QFETCH(QString, message);

    const QString hexFile = exists ? write("boot.hex", hex) : dir->filePath("none.hex");
    const QString out = dir->filePath("out");
    const CliResult r = runCli({"make-bootbin", hexFile, "--year", "18", "--week", "51", "--first",
        "1", "--count", "2", "--out", out});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(filesIn(out).isEmpty());
    QVERIFY(r.out.isEmpty());
}

void TestCliFiles::makeBootBinIssuesSerialsOnce_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<bool>("reissue");
    QTest::addColumn<int>("exitCode");
    // What `history --serials` lists after 185100001-2 and this run of two.
    QTest::addColumn<QString>("listed");

    QTest::newRow("the next two") << "3" << false << 0 << "1 2 3 4";
    QTest::newRow("one issued before: neither") << "2" << false << 1 << "1 2";
    QTest::newRow("reissued") << "2" << true << 0 << "1 2 2r 3";
}

void TestCliFiles::makeBootBinIssuesSerialsOnce()
{
    QFETCH(QString, first);
    QFETCH(bool, reissue);
    QFETCH(int, exitCode);
    QFETCH(QString, listed);

    const QString hexFile = write("boot.hex", kelto::sample::bootloaderHex());
    const QStringList common {"make-bootbin", hexFile, "--year", "18", "--week", "51"};
    const QStringList before {"--first", "1", "--count", "2", "--out", dir->filePath("before")};
    QCOMPARE(runCli(common + before).exitCode, 0);
    const QString out = dir->filePath("out");
    QStringList arguments = common + QStringList {"--first", first, "--count", "2", "--out", out};
    if (reissue)
        arguments << "--reissue";
    const CliResult r = runCli(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(filesIn(out).size(), exitCode == 0 ? 2 : 0);
    if (exitCode != 0)
        QVERIFY2(r.err.contains("185100002 issued before"), qPrintable(r.err));

    QStringList serials;
    for (const QString &line : runCli({"history", "--serials", "--json"}).out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        if (!o.isEmpty())
            serials << o.value("serial").toString().right(1)
                    + (o.value("reissue").toBool() ? "r" : "");
    }
    QCOMPARE(serials.join(' '), listed);
}

void TestCliFiles::makeBootBinIssuesOnce_data()
{
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("week");
    QTest::addColumn<bool>("existing"); // the second unit's image made before
    QTest::addColumn<bool>("replace");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("week 53 of a 52-week year")
        << "18"
        << "53" << false << false << 2 << "2018 has 52 ISO weeks; there is no week 53";
    QTest::newRow("week 53 of a 53-week year") << "20"
                                               << "53" << false << false << 0 << "";
    QTest::newRow("image made before")
        << "18"
        << "51" << true << false << 1 << "Kelto_Bootloader_185100002.bin";
    QTest::newRow("image made before, --replace") << "18"
                                                  << "51" << true << true << 0 << "";
}

void TestCliFiles::makeBootBinIssuesOnce()
{
    QFETCH(QString, year);
    QFETCH(QString, week);
    QFETCH(bool, existing);
    QFETCH(bool, replace);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString hexFile = write("boot.hex", kelto::sample::bootloaderHex());
    const QDir out(dir->filePath("out"));
    QVERIFY(out.mkpath("."));
    const QString before = out.filePath("Kelto_Bootloader_" + year + week + "00002.bin");
    if (existing)
        QVERIFY(writeAll(before, "issued before"));
    QStringList arguments {"make-bootbin", hexFile, "--year", year, "--week", week, "--first", "1",
        "--count", "2", "--out", out.path()};
    if (replace)
        arguments << "--replace";
    const CliResult r = runCli(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    // All or nothing: a refused run writes no image and leaves the old one.
    QCOMPARE(filesIn(out.path()).size(), exitCode == 0 ? 2 : existing ? 1 : 0);
    if (existing)
        QCOMPARE(readAll(before).size(), replace ? 16384 : 13);
}

void TestCliFiles::inspectVerdicts_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shows");

    // Offsets into the image block of the file.
    QTest::newRow("as made") << "none" << 0 << 0 << "checksum A:   stored";
    QTest::newRow("byte flipped in the application")
        << "flip" << 0x04000 + 0x1234 << 1 << "MISMATCH\nchecksum B";
    QTest::newRow("byte flipped in the application's last word")
        << "flip" << 0x3FFFD << 1 << "MISMATCH\nchecksum B";
    QTest::newRow("byte flipped in the external section")
        << "flip" << 0x40000 + 77 << 1 << "MISMATCH\nsections";
    // Not written by an upgrade: a file of this tool never holds data there.
    QTest::newRow("byte flipped in the bootloader area")
        << "flip" << 0x100 << 1 << "bootloader area holds data at 0x08000100-0x08000100";
    QTest::newRow("serial planted in the bootloader area")
        << "plant" << 0x3FF0 << 1 << "bootloader area holds data at 0x08003ff0-0x08003ff8";
    QTest::newRow("byte in the unused area")
        << "flip" << 0x54003 << 1 << "unused area holds data at 0x08054003-0x08054003";
    QTest::newRow("bytes after the image") << "tail" << 5 << 1 << "5 bytes after the image";
    QTest::newRow("length field claims far too much")
        << "claim" << 0x7FFFFFFF << 1 << "claims 2147483647 bytes, but only 393216 follow it";
    QTest::newRow("length field claims one byte too many")
        << "claim" << 0x60001 << 1 << "claims 393217 bytes, but only 393216 follow it";
    QTest::newRow("wrong header") << "header" << 0 << 1 << "Wrong file header";
    QTest::newRow("wrong version") << "version" << 0 << 1 << "Wrong file version";
    QTest::newRow("short image") << "short" << 0 << 1 << "image block shorter";
    QTest::newRow("empty file") << "empty" << 0 << 1 << "Wrong file header";
}

void TestCliFiles::inspectVerdicts()
{
    QFETCH(QString, change);
    QFETCH(int, offset);
    QFETCH(int, exitCode);
    QFETCH(QString, shows);

    const QString good = goodUpgradeFile();
    QVERIFY(!good.isEmpty());
    QByteArray file = readAll(good);
    const QByteArray block = file.mid(streamHeaderSize);
    if (change == "flip")
        file = flipped(file, streamHeaderSize + offset);
    else if (change == "plant")
        for (int i = 0; i < 9; ++i)
            file = flipped(file, streamHeaderSize + offset + i);
    else if (change == "tail")
        file.append(QByteArray(offset, 'x'));
    else if (change == "claim")
        qToBigEndian<quint32>(quint32(offset), file.data() + streamHeaderSize - 4);
    else if (change == "header")
        file = streamOf("Kelto Upgrade File Headex", "03", block);
    else if (change == "version")
        file = streamOf("Kelto Upgrade File Header", "02", block);
    else if (change == "short")
        file = streamOf("Kelto Upgrade File Header", "03", block.left(0x5FFFF));
    else if (change == "empty")
        file.clear();
    const QString path = write("changed.upg", file);

    const CliResult r = runCli({"inspect", path});
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.out.contains(shows) || r.err.contains(shows), qPrintable(r.out + r.err));
    QCOMPARE(r.err.isEmpty(), exitCode == 0);

    const CliResult json = runCli({"inspect", "--json", path});
    QCOMPARE(json.exitCode, exitCode);
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(o.value("accepted").toBool(),
        QStringList({"none", "flip", "plant", "tail"}).contains(change));
}

void TestCliFiles::inspectReportsSections()
{
    // One application byte at a known place and nothing in the external
    // section but checksum B (which is 0 and so holds no data).
    const QString hex = write("one.hex", hexWith(0x08004010, "\x5A", ":00000001FF\r\n"));
    const QString upg = dir->filePath("one.upg");
    QCOMPARE(runCli({"make-upg", hex, upg}).exitCode, 0);
    const CliResult r = runCli({"inspect", "--json", upg});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("image_length").toInt(), 0x60000);
    QCOMPARE(o.value("checksum_a").toObject().value("stored").toString(), QString("0x0000005a"));
    QCOMPARE(o.value("checksum_b").toObject().value("stored").toString(), QString("0x00000000"));
    const QJsonArray sections = o.value("sections").toArray();
    QCOMPARE(sections.size(), 1);
    QCOMPARE(sections.at(0).toObject().value("name").toString(), QString("application"));
    QCOMPARE(sections.at(0).toObject().value("data_size").toInt(), 0x11);
}

void TestCliFiles::hostileInputsAndFullDisks_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("sizeLimit"); // largest file the process may write; 0: none
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString huge = "is larger than 33554432 bytes, the most a firmware build can hold";
    QTest::newRow("make-upg of an endless device")
        << QStringList {"make-upg", "/dev/zero", "OUT"} << 0 << 1 << "/dev/zero " + huge;
    QTest::newRow("make-bootbin of an endless device") << QStringList {"make-bootbin", "/dev/zero",
        "--first", "1", "--count", "1"} << 0 << 1 << "/dev/zero " + huge;
    QTest::newRow("inspect of an endless device")
        << QStringList {"inspect", "/dev/zero"} << 0 << 1 << "Wrong file header";
    QTest::newRow("inspect of a folder")
        << QStringList {"inspect", "DIR"} << 0 << 1 << "cannot read DIR: it is a folder";
    QTest::newRow("inspect of a pipe") << QStringList {"inspect", "FIFO"} << 0 << 0 << "";
    // Both of the window's passes convert the one reading of the build.
    QTest::newRow("make-upg --force of a pipe")
        << QStringList {"make-upg", "--force", "FIFOHEX", "OUT"} << 0 << 0 << "";
    QTest::newRow("inspect of a pipe that goes on")
        << QStringList {"inspect", "FIFO+"} << 0 << 1 << "the input goes on past 393282 bytes";
    QTest::newRow("upgrade --all of an endless device") << QStringList {
        "upgrade", "--all", "/dev/zero"} << 0 << 1 << "Wrong file header; no converter was touched";
    QTest::newRow("upgrade --all of a 1 GiB file")
        << QStringList {"upgrade", "--all", "BIG"} << 0 << 1
        << "1073348542 bytes after the image, which the upgrade ignores (use --force";
    // The system writes part of a block and refuses the rest.
    QTest::newRow("make-upg onto a full disk")
        << QStringList {"make-upg", "HEX", "OUT"} << 100000 << 1 << "OUT: File too large";
    QTest::newRow("make-bootbin onto a full disk")
        << QStringList {"make-bootbin", "BOOTHEX", "--first", "1", "--count", "2", "--out", "DIR"}
        << 10000 << 1 << ".bin: File too large";
}

void TestCliFiles::hostileInputsAndFullDisks()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, sizeLimit);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString good = goodUpgradeFile();
    QVERIFY(!good.isEmpty());
    const QString fifo = dir->filePath("fifo.upg");
    const QString big = dir->filePath("big.upg");
    QVERIFY(QFile::copy(good, big) && QFile::resize(big, qint64(1) << 30));
    const QString out = dir->filePath("out");
    QVERIFY(QDir().mkdir(out));
    const QMap<QString, QString> places {{"DIR", out}, {"FIFO", fifo}, {"FIFO+", fifo},
        {"FIFOHEX", fifo}, {"BIG", big}, {"OUT", out + "/out.upg"},
        {"HEX", write("app.hex", kelto::sample::applicationHex())},
        {"BOOTHEX", write("boot.hex", kelto::sample::bootloaderHex())}};
    std::unique_ptr<kelto::test::FifoFeeder> feeder;
    for (QString &a : arguments) {
        if (a == "FIFOHEX")
            feeder
                = std::make_unique<kelto::test::FifoFeeder>(fifo, kelto::sample::applicationHex());
        else if (a.startsWith("FIFO"))
            feeder = std::make_unique<kelto::test::FifoFeeder>(
                fifo, readAll(good) + (a == "FIFO+" ? QByteArray(70000, 'x') : ""));
        message.replace(a, places.value(a, a));
        a = places.value(a, a);
    }

    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit before;
    ::getrlimit(RLIMIT_FSIZE, &before);
    struct rlimit limited = before;
    if (sizeLimit > 0)
        limited.rlim_cur = rlim_t(sizeLimit);
    ::setrlimit(RLIMIT_FSIZE, &limited);
    QElapsedTimer clock;
    clock.start();
    const CliResult r = runCli(arguments);
    const qint64 ms = clock.elapsed();
    ::setrlimit(RLIMIT_FSIZE, &before);
    feeder.reset();

    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    // Nothing is read to its end that has no end, nor to its whole size.
    QVERIFY2(ms < 5000, qPrintable(QString::number(ms)));
    if (arguments.contains("--force")) {
        const QString direct = dir->filePath("direct.upg");
        QCOMPARE(runCli({"make-upg", "--force", places["HEX"], direct}).exitCode, 0);
        QVERIFY(readAll(places["OUT"]) == readAll(direct));
    }
    // A failed write leaves no file behind under its name.
    if (sizeLimit > 0)
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList());
}

void TestCliFiles::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");

    const QString hex = "in.hex";
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << QStringList {"flash"};
    QTest::newRow("make-upg, one file") << QStringList {"make-upg", hex};
    QTest::newRow("make-upg, three files") << QStringList {"make-upg", hex, "a.upg", "b.upg"};
    QTest::newRow("make-upg, unknown option") << QStringList {"make-upg", "--fast", hex, "a.upg"};
    QTest::newRow("make-bootbin, no count") << QStringList {"make-bootbin", hex, "--first", "1"};
    QTest::newRow("make-bootbin, no file")
        << QStringList {"make-bootbin", "--first", "1", "--count", "1"};
    QTest::newRow("make-bootbin, week 54")
        << QStringList {"make-bootbin", hex, "--week", "54", "--first", "1", "--count", "1"};
    QTest::newRow("make-bootbin, week 0")
        << QStringList {"make-bootbin", hex, "--week", "0", "--first", "1", "--count", "1"};
    QTest::newRow("make-bootbin, year 100")
        << QStringList {"make-bootbin", hex, "--year", "100", "--first", "1", "--count", "1"};
    QTest::newRow("make-bootbin, unit 0")
        << QStringList {"make-bootbin", hex, "--first", "0", "--count", "1"};
    QTest::newRow("make-bootbin, unit 10000")
        << QStringList {"make-bootbin", hex, "--first", "10000", "--count", "1"};
    QTest::newRow("make-bootbin, batch past 9999")
        << QStringList {"make-bootbin", hex, "--first", "9000", "--count", "1001"};
    QTest::newRow("make-bootbin, option twice")
        << QStringList {"make-bootbin", hex, "--first", "1", "--count", "1", "--first", "2"};
    QTest::newRow("read, negative length") << QStringList {"read", "0x08000000", "-1"};
    QTest::newRow("make-bootbin, two from 9999")
        << QStringList {"make-bootbin", hex, "--first", "9999", "--count", "2"};
    QTest::newRow("make-bootbin, count not a number")
        << QStringList {"make-bootbin", hex, "--first", "1", "--count", "3x"};
    QTest::newRow("make-bootbin, option without value")
        << QStringList {"make-bootbin", hex, "--first", "1", "--count"};
    QTest::newRow("inspect, no file") << QStringList {"inspect"};
    QTest::newRow("upgrade, two files") << QStringList {"upgrade", "a.upg", "b.upg"};
    QTest::newRow("status, argument") << QStringList {"status", "now"};
    QTest::newRow("ballasts, argument") << QStringList {"ballasts", "1"};
    QTest::newRow("read, no length") << QStringList {"read", "0x08000000"};
    QTest::newRow("read, address not hex") << QStringList {"read", "0x0800G000", "16"};
    QTest::newRow("read, address too wide") << QStringList {"read", "0x108000000", "16"};
    QTest::newRow("read, length 0") << QStringList {"read", "0x08000000", "0"};
    QTest::newRow("read, length above 1 MiB") << QStringList {"read", "0x08000000", "1048577"};
}

void TestCliFiles::usageErrors()
{
    QFETCH(QStringList, arguments);
    // Nothing on the command lines above names a file that exists; each must
    // be refused before anything is tried.
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    const CliResult r = runCli(arguments);
    QDir::setCurrent(before);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.contains("Usage: kelto-cli") || r.err.contains("kelto-cli --help"),
        qPrintable(r.err));
    QVERIFY(QDir(dir->path()).entryList(QDir::Files).isEmpty());
}

void TestCliFiles::helpForEachCommand_data()
{
    QTest::addColumn<QString>("command");
    for (const char *c :
        {"make-upg", "make-bootbin", "inspect", "upgrade", "status", "ballasts", "read"})
        QTest::newRow(c) << QString(c);
}

void TestCliFiles::helpForEachCommand()
{
    QFETCH(QString, command);
    // --help wins over whatever else is on the line.
    const CliResult r = runCli({command, "--help", "extra", "arguments"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.out.startsWith("Usage: kelto-cli " + command + " "), qPrintable(r.out));
    QVERIFY(r.err.isEmpty());
}

QTEST_MAIN(TestCliFiles)
#include "tst_cli_files.moc"
