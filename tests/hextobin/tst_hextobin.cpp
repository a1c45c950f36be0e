#include "hexreader.h"
#include "hextobin.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

// Every case converts into this window, prefilled with a marker byte, so a
// test sees both what was stored and what was left alone.
constexpr uint32_t low = 0x1000;
constexpr uint32_t high = 0x100F;
constexpr unsigned char marker = 0xEE;

QByteArray untouched()
{
    return QByteArray(int(high - low + 1), char(marker));
}

// The window after storing `bytes` (hex text) from its first address on.
QByteArray storedAtStart(const QByteArray &hex)
{
    QByteArray d = untouched();
    const QByteArray b = QByteArray::fromHex(hex);
    d.replace(0, b.size(), b);
    return d;
}

} // namespace

class TestHexToBin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void results_data();
    void results();
    void windowsCutRecords_data();
    void windowsCutRecords();
    void unreadableFileReadsAsEmpty_data();
    void unreadableFileReadsAsEmpty();
    void longestRecordFits();
    void strictLineLengths_data();
    void strictLineLengths();

private:
    QString write(const QByteArray &text);
    QTemporaryDir dir;
    int files = 0;
};

void TestHexToBin::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestHexToBin::write(const QByteArray &text)
{
    const QString path = dir.filePath(QString("case%1.hex").arg(files++));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return {};
    return path;
}

void TestHexToBin::results_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("window");

    const QByteArray seg = ":020000040000FA\r\n";
    const QByteArray rec = ":04100000DEADBEEF00\r\n"; // checksum deliberately wrong
    const QByteArray eof = ":00000001FF\r\n";
    const QByteArray stored = storedAtStart("DEADBEEF");

    // Success.
    QTest::newRow("eof only") << eof << 0 << untouched();
    QTest::newRow("empty file") << QByteArray() << 0 << untouched();
    QTest::newRow("data then eof") << seg + rec + eof << 0 << stored;
    QTest::newRow("no eof record") << seg + rec << 0 << stored;
    QTest::newRow("lf only") << QByteArray(":04100000DEADBEEF00\n:00000001FF\n") << 0 << stored;
    QTest::newRow("last line without terminator") << rec + ":00000001FF" << 0 << stored;
    QTest::newRow("lower case digits")
        << QByteArray(":04100000deadbeef00\r\n") + eof << 0 << stored;
    QTest::newRow("wrong checksum accepted")
        << QByteArray(":0410000001020304AB\r\n") << 0 << storedAtStart("01020304");
    QTest::newRow("checksum field missing")
        << QByteArray(":0410000001020304\r\n") << 0 << storedAtStart("01020304");
    QTest::newRow("type 05 skipped whatever it holds")
        << QByteArray(":0400000508000209E4\r\n:0000000500\r\n:03000005ZZZZZZ\r\n") + rec + eof << 0
        << stored;
    QTest::newRow("nothing read after eof")
        << rec + eof + ":04100400CAFEBABE00\r\n\r\nnot a record\r\n"
        << 0 << stored;
    QTest::newRow("eof record with junk after its type")
        << rec + ":00000001 anything at all\r\n:0410040001020304AB\r\n"
        << 0 << stored;
    QTest::newRow("type 04 ignores its byte count")
        << QByteArray(":000000040000FF\r\n") + rec << 0 << stored;
    QTest::newRow("type 04 moves data out of the window")
        << QByteArray(":020000040001F9\r\n") + rec << 0 << untouched();

    // -1: short lines, and lines too long for one read.
    QTest::newRow("empty line before eof") << rec + "\n" + eof << -1 << stored;
    QTest::newRow("crlf line before eof") << rec + "\r\n" + eof << -1 << stored;
    QTest::newRow("ten bytes") << QByteArray(":00000001\n") << -1 << untouched();
    QTest::newRow("line longer than one read") << QByteArray(":1A100000") + QByteArray(52, 'A')
            + "00\r\n" << -1 << untouched();
    QTest::newRow("long eof line") << rec + ":00000001FF" + QByteArray(60, ' ') + "\r\n"
                                   << -1 << stored;

    // -2: no start mark.
    QTest::newRow("leading blank") << QByteArray(" :00000001FF\r\n") << -2 << untouched();
    QTest::newRow("s-record line") << rec + "S00600004844521B\r\n" << -2 << stored;

    // -3 to -5: the first header field that fails decides.
    QTest::newRow("count") << QByteArray(":G4100000DEADBEEF00\r\n") << -3 << untouched();
    QTest::newRow("count before offset")
        << QByteArray(":0GZZZZ00DEADBEEF00\r\n") << -3 << untouched();
    QTest::newRow("count with sign") << QByteArray(":+4100000DEADBEEF00\r\n") << -3 << untouched();
    QTest::newRow("offset") << QByteArray(":041G0000DEADBEEF00\r\n") << -4 << untouched();
    QTest::newRow("offset before type")
        << QByteArray(":0410 0ZZDEADBEEF00\r\n") << -4 << untouched();
    QTest::newRow("type") << QByteArray(":041000 0DEADBEEF00\r\n") << -5 << untouched();
    QTest::newRow("type x") << QByteArray(":041000x0DEADBEEF00\r\n") << -5 << untouched();

    // -6: data bytes; earlier records stay stored, nothing of this one.
    QTest::newRow("first data byte") << rec + ":04100400XXADBEEF00\r\n" << -6 << stored;
    QTest::newRow("first data byte of first record")
        << QByteArray(":04100000XXADBEEF00\r\n") << -6 << untouched();
    QTest::newRow("third data byte keeps first two")
        << QByteArray(":04100000DEADXXEF00\r\n") << -6 << storedAtStart("DEAD");
    QTest::newRow("count beyond the line")
        << QByteArray(":08100000DEADBEEF\r\n") << -6 << storedAtStart("DEADBEEF");
    QTest::newRow("count beyond a line without terminator")
        << QByteArray(":08100000DEADBEEF") << -6 << storedAtStart("DEADBEEF");

    // -7: unsupported types and bad extended addresses.
    QTest::newRow("type 02") << QByteArray(":020000021000EC\r\n") + rec << -7 << untouched();
    QTest::newRow("type 03") << QByteArray(":0400000300003800C1\r\n") << -7 << untouched();
    QTest::newRow("type 06") << QByteArray(":00000006FA\r\n") << -7 << untouched();
    QTest::newRow("type FF") << QByteArray(":000000FF01\r\n") << -7 << untouched();
    QTest::newRow("type 04 value") << QByteArray(":020000040G00FA\r\n") + rec << -7 << untouched();
    QTest::newRow("type 04 value cut by the line")
        << QByteArray(":0200000400\r\n") << -7 << untouched();
}

void TestHexToBin::results()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(QByteArray, window);
    const QString path = write(text);
    QVERIFY(!path.isEmpty());
    QByteArray dest = untouched();
    QCOMPARE(HexToBin(path, reinterpret_cast<unsigned char *>(dest.data()), low, high), result);
    QCOMPARE(dest.toHex(), window.toHex());
}

void TestHexToBin::windowsCutRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<uint>("lowAddress");
    QTest::addColumn<uint>("highAddress");
    // Pairs of (destination offset, expected bytes as hex).
    QTest::addColumn<QList<QPair<int, QByteArray>>>("expected");

    const QByteArray data16 = "000102030405060708090A0B0C0D0E0F";
    QTest::newRow("record crosses the window's start")
        << ":020000040800F2\r\n:103FF800" + data16 + "00\r\n"
        << 0x08004000u << 0x0803FFFFu
        << QList<QPair<int, QByteArray>> {{0, "08090A0B0C0D0E0F"}, {8, "0000000000000000"}};
    QTest::newRow("record runs into the next segment, external window")
        << ":020000040803EF\r\n:10FFF800" + data16 + "00\r\n"
        << 0x08040000u << 0x08053FFFu
        << QList<QPair<int, QByteArray>> {{0, "08090A0B0C0D0E0F"}, {8, "00000000"}};
    QTest::newRow("record runs into the next segment, application window")
        << ":020000040803EF\r\n:10FFF800" + data16 + "00\r\n"
        << 0x08004000u << 0x0803FFFFu
        << QList<QPair<int, QByteArray>> {
               {0x3BFF8, "0001020304050607"}, {0x2C000, "0000000000000000"}};
    QTest::newRow("record ends at the window's end")
        << ":020000040800F2\r\n:10400800" + data16 + "00\r\n"
        << 0x08004000u << 0x0800400Bu
        << QList<QPair<int, QByteArray>> {{0, "0000000000000000"}, {8, "00010203"}};
    QTest::newRow("32-bit sum wraps to address 0")
        << ":02000004FFFFFC\r\n:10FFF800" + data16 + "00\r\n"
        << 0x00000000u << 0x0000000Fu
        << QList<QPair<int, QByteArray>> {{0, "08090A0B0C0D0E0F"}, {8, "0000000000000000"}};
    QTest::newRow("highest address is inclusive")
        << QByteArray(":02000004FFFFFC\r\n:04FFFC00DEADBEEF00\r\n") << 0xFFFFFFF0u << 0xFFFFFFFFu
        << QList<QPair<int, QByteArray>> {{0, "0000000000000000"}, {12, "DEADBEEF"}};
    QTest::newRow("later segment record replaces the upper address")
        << QByteArray(":020000040801F1\r\n:020000040800F2\r\n:04400000DEADBEEF00\r\n")
        << 0x08004000u << 0x08004003u << QList<QPair<int, QByteArray>> {{0, "DEADBEEF"}};
}

void TestHexToBin::windowsCutRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(uint, lowAddress);
    QFETCH(uint, highAddress);
    using Expected = QList<QPair<int, QByteArray>>;
    QFETCH(Expected, expected);
    const QString path = write(text);
    std::vector<unsigned char> dest(size_t(highAddress - lowAddress) + 1, 0);
    QCOMPARE(HexToBin(path, dest.data(), lowAddress, highAddress), 0);
    size_t nonZero = 0;
    for (unsigned char c : dest)
        nonZero += c != 0;
    size_t expectedNonZero = 0;
    for (const auto &[offset, hex] : expected) {
        const QByteArray want = QByteArray::fromHex(hex);
        QByteArray got(reinterpret_cast<const char *>(dest.data()) + offset, want.size());
        QCOMPARE(got.toHex(), want.toHex());
        for (char c : want)
            expectedNonZero += c != 0;
    }
    // Nothing was stored anywhere else in the window.
    QCOMPARE(nonZero, expectedNonZero);
}

void TestHexToBin::unreadableFileReadsAsEmpty_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing") << dir.filePath("does-not-exist.hex");
    QTest::newRow("directory") << dir.path();
    QTest::newRow("empty name") << QString();
}

void TestHexToBin::unreadableFileReadsAsEmpty()
{
    QFETCH(QString, path);
    QByteArray dest = untouched();
    QCOMPARE(HexToBin(path, reinterpret_cast<unsigned char *>(dest.data()), low, high), 0);
    QCOMPARE(dest, untouched());
}

void TestHexToBin::longestRecordFits()
{
    // 25 data bytes with CR LF fill one read exactly; 26 do not fit.
    QByteArray bytes;
    for (int i = 0; i < 25; ++i)
        bytes += char(0x40 + i);
    const QByteArray line = ":19100000" + bytes.toHex().toUpper() + "00\r\n";
    QCOMPARE(line.size(), 63);
    std::vector<unsigned char> dest(32, 0);
    QCOMPARE(HexToBin(write(line + ":00000001FF\r\n"), dest.data(), 0x1000, 0x101F), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(dest.data()), 25), bytes);

    const QByteArray tooLong = ":1A100000" + bytes.toHex().toUpper() + "5A00\r\n";
    QCOMPARE(tooLong.size(), 65);
    std::fill(dest.begin(), dest.end(), 0);
    QCOMPARE(HexToBin(write(tooLong), dest.data(), 0x1000, 0x101F), -1);
    QCOMPARE(std::count(dest.begin(), dest.end(), 0), 32);

    // A 63-byte line without terminator at the end of the file is complete.
    const QByteArray last = ":19100000" + bytes.toHex().toUpper() + "0000";
    QCOMPARE(last.size(), 63);
    QCOMPARE(HexToBin(write(last), dest.data(), 0x1000, 0x101F), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(dest.data()), 25), bytes);
}

// A record of `count` data bytes padded or cut to `length` characters, with
// a right checksum where the length is the record's own.
static QByteArray recordOfLength(int count, int length)
{
    QByteArray bytes(4 + count, '\x41');
    bytes[0] = char(count);
    bytes[1] = bytes[2] = bytes[3] = 0;
    unsigned sum = 0;
    for (char b : bytes)
        sum += static_cast<unsigned char>(b);
    bytes += char((0x100 - (sum & 0xFF)) & 0xFF);
    QByteArray line = ":" + bytes.toHex().toUpper();
    while (line.size() < length)
        line += "41";
    return line.left(length);
}

void TestHexToBin::strictLineLengths_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("reason"); // empty: taken

    QTest::newRow("254 bytes, 519 characters") << recordOfLength(254, 519) << QString();
    QTest::newRow("255 bytes, 521 characters") << recordOfLength(255, 521) << QString();
    QTest::newRow("255 bytes, 519 characters")
        << recordOfLength(255, 519) << "byte count 255 calls for 521 characters, the line has 519";
    QTest::newRow("1 byte, 521 characters")
        << recordOfLength(1, 521) << "byte count 1 calls for 13 characters, the line has 521";
    // Past the longest record: the lengths that once overran the stack.
    for (int length : {522, 523, 561, 599, 600, 601, 4096})
        QTest::newRow(qPrintable(QString("255 bytes, %1 characters").arg(length)))
            << recordOfLength(255, length)
            << "line longer than the longest record (521 characters)";
}

void TestHexToBin::strictLineLengths()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, reason);
    std::vector<unsigned char> dest(256, 0);
    const auto r = kelto::hex::read(line + "\n:00000001FF\n", kelto::hex::Mode::Strict,
        {{0, 0xFF, dest.data()}});
    QCOMPARE(r.reason, reason);
    QCOMPARE(r.line, reason.isEmpty() ? 0 : 1);
    // The window's conversion cuts such lines at 63 characters and refuses them.
    QCOMPARE(kelto::hex::read(line, kelto::hex::Mode::Window, {{0, 0xFF, dest.data()}}).ok(),
        line.size() < 64 && reason.isEmpty());
}

QTEST_GUILESS_MAIN(TestHexToBin)
#include "tst_hextobin.moc"
