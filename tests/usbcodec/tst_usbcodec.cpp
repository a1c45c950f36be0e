// The image encoding, the dump text of the log views and the stream-line
// trace format.
#include "dumpbuffer.h"
#include "imagecodec.h"
#include "logcapture.h"
#include "streamline.h"

#include <QTest>

#include <cstring>
#include <vector>

using kelto::test::LogCapture;

namespace {

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = uint8_t(seed >> 24);
    }
    return v;
}

QString hexAddress(const void *p)
{
    return QString::asprintf("0x%08x", unsigned(reinterpret_cast<uintptr_t>(p)));
}

} // namespace

class TestUsbCodec : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void zeroPageEncodesToTwiceTheKey();
    void keyRestartsAtEachCall_data();
    void keyRestartsAtEachCall();
    void encodeTraceLines();

    void dumpShortRow();
    void dumpCharacterRange();
    void dumpRowCounts_data();
    void dumpRowCounts();
    void dumpWideOffsets();
    void dumpEmpty_data();
    void dumpEmpty();

    void streamLineItems();
};

void TestUsbCodec::roundTrip_data()
{
    QTest::addColumn<int>("length");
    for (int n : {1, 2, 3, 4, 5, 7, 127, 128, 129, 131, 2050, 0x60000})
        QTest::addRow("%d bytes", n) << n;
}

void TestUsbCodec::roundTrip()
{
    QFETCH(int, length);
    const auto plain = pattern(size_t(length), uint32_t(length));
    auto buf = plain;
    QCOMPARE(encodeImage(buf.data(), uint32_t(length)), 0);
    const int whole = length / 4 * 4;
    if (whole)
        QVERIFY(std::memcmp(buf.data(), plain.data(), size_t(whole)) != 0);
    // 1 to 3 trailing bytes are never touched.
    QVERIFY(std::equal(buf.begin() + whole, buf.end(), plain.begin() + whole));
    QCOMPARE(decodeImage(buf.data(), uint32_t(length)), 0);
    QVERIFY(buf == plain);
}

void TestUsbCodec::zeroPageEncodesToTwiceTheKey()
{
    std::vector<uint8_t> page(2048, 0);
    encodeImage(page.data(), 2048);
    for (int i = 0; i < 512; ++i) {
        const uint8_t *p = &page[size_t(4 * i)];
        const uint32_t w = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16
            | uint32_t(p[3]) << 24; // little-endian, whatever the host
        QCOMPARE(w, uint32_t(2 * imageKey[i % 32]));
    }
}

void TestUsbCodec::keyRestartsAtEachCall_data()
{
    QTest::addColumn<int>("split");
    QTest::addColumn<bool>("same");
    QTest::newRow("at 128") << 128 << true;
    QTest::newRow("at 2048") << 2048 << true;
    QTest::newRow("at 132") << 132 << false;
    QTest::newRow("at 4") << 4 << false;
}

void TestUsbCodec::keyRestartsAtEachCall()
{
    QFETCH(int, split);
    QFETCH(bool, same);
    const auto plain = pattern(4096, 5);
    auto whole = plain;
    auto pieces = plain;
    encodeImage(whole.data(), 4096);
    encodeImage(pieces.data(), uint32_t(split));
    encodeImage(pieces.data() + split, uint32_t(4096 - split));
    QCOMPARE(whole == pieces, same);
}

void TestUsbCodec::encodeTraceLines()
{
    std::vector<uint8_t> buf(10, 0);
    LogCapture log;
    encodeImage(buf.data(), 10);
    QCOMPARE(log.lines(),
        (QStringList {"Encoding started @ " + hexAddress(buf.data()),
            "Encoding end @ " + hexAddress(buf.data() + 8)}));
    log.clear();
    decodeImage(buf.data(), 10);
    QVERIFY(log.lines().isEmpty());
}

void TestUsbCodec::dumpShortRow()
{
    const unsigned char bytes[3] = {0x41, 0x42, 0x01};
    const QByteArray d = dumpBuffer(bytes, 3);
    const QByteArray expected = "\n src address: " + hexAddress(bytes).toLatin1() + "\n0x0000:"
        + " 41 42 01" + QByteArray(13 * 3, ' ') + " < AB." + QByteArray(13, ' ') + " >";
    QCOMPARE(d, expected);
}

void TestUsbCodec::dumpCharacterRange()
{
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i)
        bytes[i] = uint8_t(0x78 + i); // 0x78 .. 0x87
    bytes[0] = 0x1F;
    bytes[1] = 0x20;
    const QByteArray d = dumpBuffer(bytes, 16);
    const QByteArray row = d.mid(d.indexOf("\n0x0000:"));
    QCOMPARE(row,
        QByteArray("\n0x0000: 1f 20 7a 7b 7c 7d 7e 7f 80 81 82 83 84 85 86 87 < . z{|}~\x7f"
                   "........ >"));
}

void TestUsbCodec::dumpRowCounts_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QByteArray>("lastOffset");
    QTest::newRow("864") << 864 << 54 << QByteArray("0x0350:");
    QTest::newRow("1792") << 1792 << 112 << QByteArray("0x06f0:");
    QTest::newRow("17") << 17 << 2 << QByteArray("0x0010:");
    QTest::newRow("16") << 16 << 1 << QByteArray("0x0000:");
}

void TestUsbCodec::dumpRowCounts()
{
    QFETCH(int, length);
    QFETCH(int, rows);
    QFETCH(QByteArray, lastOffset);
    const auto bytes = pattern(size_t(length), 11);
    const QByteArray d = dumpBuffer(bytes.data(), length);
    const QList<QByteArray> lines = d.split('\n');
    QCOMPARE(lines.size(), rows + 2); // empty text before the header's break, the header
    QVERIFY(lines[1].startsWith(" src address: 0x"));
    QVERIFY(lines.last().startsWith(lastOffset));
    QVERIFY(!d.endsWith('\n'));
    // Every row has the same width, the short one included.
    for (int i = 2; i < lines.size(); ++i) {
        QCOMPARE(lines[i].size(), 7 + 16 * 3 + 3 + 16 + 2);
        QCOMPARE(lines[i].mid(7 + 48, 3), QByteArray(" < "));
        QVERIFY(lines[i].endsWith(" >"));
    }
}

void TestUsbCodec::dumpWideOffsets()
{
    std::vector<uint8_t> bytes(0x10000 + 20, 0x30);
    const QByteArray d = dumpBuffer(bytes.data(), int(bytes.size()));
    QVERIFY(d.contains("\n0xfff0: 30"));
    QVERIFY(d.contains("\n0x10000: 30"));
    QVERIFY(d.contains("\n0x10010: 30 30 30 30" + QByteArray(12 * 3, ' ') + " < 0000"));
}

void TestUsbCodec::dumpEmpty_data()
{
    QTest::addColumn<int>("length");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("most negative") << int(0x80000000u);
}

void TestUsbCodec::dumpEmpty()
{
    QFETCH(int, length);
    const unsigned char bytes[1] = {0x41};
    QCOMPARE(dumpBuffer(bytes, length), "\n src address: " + hexAddress(bytes).toLatin1());
}

void TestUsbCodec::streamLineItems()
{
    LogCapture log;
    const void *p = reinterpret_cast<const void *>(uintptr_t(0x55d0c2));
    kelto::StreamLine() << "bus: " << p;
    kelto::StreamLine() << "dev->descriptor.idVendor: " << kelto::hex(0x16C0);
    kelto::StreamLine() << "control_receivePrivate(" << 255 << 0 << QByteArray("") << 2 << ")";
    kelto::StreamLine() << "USBMIREL constructor";
    QCOMPARE(log.lines(),
        (QStringList {"bus:  0x55d0c2 ", "dev->descriptor.idVendor:  16c0 ",
            "control_receivePrivate( 255 0  2 ) ", "USBMIREL constructor "}));
}

QTEST_GUILESS_MAIN(TestUsbCodec)
#include "tst_usbcodec.moc"
