// Converts generated HEX files over random windows and compares the result
// with what independent tools make of the same files; and the strict reading
// of what those tools write against the window's conversion.
#include "clirun.h"
#include "hextobin.h"
#include "hexwriter.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Generated
{
    QByteArray text;
    uint32_t lowest = 0;
    uint32_t highest = 0;
};

// Blocks of random data with gaps between them, spread over several 64 KiB
// segments, in records of varying size, sometimes with redundant segment
// and start address records, with CR LF or LF line ends.
Generated generate(QRandomGenerator &rng)
{
    const bool crlf = rng.bounded(2) == 0;
    kelto::hexgen::HexWriter hex(16, crlf ? "\r\n" : "\n");
    Generated g;
    uint32_t address = 0x08000000 + rng.bounded(0x30000u);
    g.lowest = address;
    const int blocks = 1 + rng.bounded(12);
    for (int b = 0; b < blocks; ++b) {
        hex.setRecordSize(1 + rng.bounded(25));
        QByteArray data(1 + rng.bounded(6000), '\0');
        for (char &c : data)
            c = char(rng.bounded(256));
        // Keep the extremes non-zero so that every tool sees the same span.
        data[0] = char(0xA5);
        data[data.size() - 1] = char(0x5A);
        hex.data(address, data);
        g.highest = address + uint32_t(data.size()) - 1;
        if (rng.bounded(4) == 0)
            hex.segment(uint16_t(address >> 16));
        address = g.highest + 1 + rng.bounded(rng.bounded(2) ? 40000u : 64u);
    }
    if (rng.bounded(2))
        hex.startLinear(g.lowest);
    hex.end();
    g.text = hex.text();
    return g;
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning() << program << args << p.readAllStandardError();
        return false;
    }
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString hex(uint32_t v)
{
    return "0x" + QString::number(v, 16);
}

} // namespace

class TestHexDiff : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameBytesAsReferenceTools_data();
    void sameBytesAsReferenceTools();
    void strictUpgradeFilesMatchWindow_data();
    void strictUpgradeFilesMatchWindow();

private:
    QTemporaryDir dir;
    QString srecCat;
    QString objcopy;
};

void TestHexDiff::initTestCase()
{
    QVERIFY(dir.isValid());
    srecCat = QStandardPaths::findExecutable("srec_cat");
    objcopy = QStandardPaths::findExecutable("objcopy");
    if (srecCat.isEmpty() && objcopy.isEmpty())
        QSKIP("neither srec_cat nor objcopy is installed");
}

void TestHexDiff::sameBytesAsReferenceTools_data()
{
    QTest::addColumn<uint>("seed");
    for (uint seed = 1; seed <= 24; ++seed)
        QTest::newRow(qPrintable(QString("seed %1").arg(seed))) << seed;
}

void TestHexDiff::sameBytesAsReferenceTools()
{
    QFETCH(uint, seed);
    QRandomGenerator rng(seed);
    const Generated g = generate(rng);
    const QString hexPath = dir.filePath(QString("gen%1.hex").arg(seed));
    {
        QFile f(hexPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(g.text), qint64(g.text.size()));
    }

    QByteArray flat;
    if (!objcopy.isEmpty()) {
        const QString out = dir.filePath(QString("gen%1.objcopy.bin").arg(seed));
        QVERIFY(run(objcopy, {"-I", "ihex", "-O", "binary", hexPath, out}));
        flat = readAll(out);
        QCOMPARE(flat.size(), qsizetype(g.highest - g.lowest + 1));
    }

    // Windows inside, around and across the data, most of them cutting
    // through records.
    for (int w = 0; w < 6; ++w) {
        const uint32_t span = g.highest - g.lowest + 1;
        uint32_t low = g.lowest - 64 + rng.bounded(span + 128);
        uint32_t size = 1 + rng.bounded(w == 0 ? span + 256 : 20000u);
        if (w == 1) {
            low = g.lowest - 16;
            size = span + 32;
        }
        const uint32_t high = low + size - 1;

        QByteArray ours(int(size), '\0');
        QCOMPARE(HexToBin(hexPath, reinterpret_cast<unsigned char *>(ours.data()), low, high), 0);

        if (!objcopy.isEmpty()) {
            QByteArray expected(int(size), '\0');
            for (uint32_t i = 0; i < size; ++i) {
                const uint32_t a = low + i;
                if (a >= g.lowest && a <= g.highest)
                    expected[int(i)] = flat[int(a - g.lowest)];
            }
            QVERIFY2(ours == expected,
                qPrintable(QString("objcopy, window %1..%2").arg(hex(low), hex(high))));
        }
        if (!srecCat.isEmpty()) {
            const QString out = dir.filePath(QString("gen%1.%2.srec.bin").arg(seed).arg(w));
            QVERIFY(run(srecCat,
                {hexPath, "-Intel", "-crop", hex(low), hex(high + 1), "-offset", "-" + hex(low),
                    "-fill", "0x00", "0", hex(size), "-o", out, "-Binary"}));
            QVERIFY2(ours == readAll(out),
                qPrintable(QString("srec_cat, window %1..%2").arg(hex(low), hex(high))));
        }
    }
}

void TestHexDiff::strictUpgradeFilesMatchWindow_data()
{
    QTest::addColumn<uint>("seed");
    QTest::addColumn<bool>("outside"); // data outside the converted windows too
    for (uint seed = 1; seed <= 6; ++seed)
        QTest::newRow(qPrintable(QString("layout %1").arg(seed))) << seed << (seed % 2 == 0);
}

// A firmware image as blocks of bytes; toolchains write it in their own
// records, the window's conversion reads it in 16-byte ones, and the strict
// reading of the former must give the upgrade file the latter gives.
void TestHexDiff::strictUpgradeFilesMatchWindow()
{
    QFETCH(uint, seed);
    QFETCH(bool, outside);
    if (srecCat.isEmpty() || objcopy.isEmpty())
        QSKIP("srec_cat and objcopy are both needed");
    QRandomGenerator rng(seed);
    struct Block
    {
        uint32_t address;
        QByteArray bytes;
    };
    QList<Block> blocks;
    const auto add = [&](uint32_t low, uint32_t high, int count) {
        uint32_t at = low + rng.bounded(std::min(0x400u, (high - low) / 2 + 1));
        for (int i = 0; i < count && at < high; ++i) {
            const uint32_t size = std::min<uint32_t>(1 + rng.bounded(9000u), high + 1 - at);
            QByteArray bytes(int(size), '\0');
            for (char &c : bytes)
                c = char(rng.bounded(256));
            blocks.append({at, bytes});
            at += size + rng.bounded(rng.bounded(2) ? 30000u : 40u);
        }
    };
    add(0x08004000, 0x0803FFCF, 1 + int(rng.bounded(6))); // below the brand code
    blocks.append({0x0803FFD0, QByteArray(2, '\0')}); // brand 0
    add(0x0803FFD2, 0x0803FFFF, 1); // up to the application's end, checksum word too
    add(0x08040000, 0x08053FFF, int(rng.bounded(5)));
    if (outside) {
        add(0x08000000, 0x08003FFF, 2); // a bootloader in the same build
        add(0x08054000, 0x08060000, 1);
    }

    const QString base = dir.filePath(QString("layout%1").arg(seed));
    kelto::hexgen::HexWriter window16(16);
    QStringList srecArgs;
    for (int i = 0; i < blocks.size(); ++i) {
        window16.data(blocks[i].address, blocks[i].bytes);
        const QString bin = QString("%1.%2.bin").arg(base).arg(i);
        QFile f(bin);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(blocks[i].bytes) == blocks[i].bytes.size());
        srecArgs << bin << "-Binary"
                 << "-offset" << hex(blocks[i].address);
    }
    window16.end();
    const QString reference = base + ".16.hex";
    {
        QFile f(reference);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(window16.text()) == window16.text().size());
    }
    const kelto::test::CliResult r
        = kelto::test::runCli({"make-upg", "--force", reference, base + ".window.upg"});
    QCOMPARE(r.exitCode, 0);
    const QByteArray expected = readAll(base + ".window.upg");
    QCOMPARE(expected.size(), 393282);

    QStringList written;
    for (int size : {16, 32}) {
        const QString out = QString("%1.srec%2.hex").arg(base).arg(size);
        QVERIFY(run(srecCat,
            srecArgs
                + QStringList {"-o", out, "-Intel", "-Output_Block_Size", QString::number(size)}));
        written << out;
    }
    const QString fromObjcopy = base + ".objcopy.hex";
    QVERIFY(run(objcopy, {"-I", "ihex", "-O", "ihex", reference, fromObjcopy}));
    written << fromObjcopy;
    for (const QString &hexFile : written) {
        const QString upg = hexFile + ".upg";
        const kelto::test::CliResult strict = kelto::test::runCli({"make-upg", hexFile, upg});
        QVERIFY2(strict.exitCode == 0, qPrintable(hexFile + ": " + strict.err));
        QVERIFY2(readAll(upg) == expected, qPrintable(hexFile));
        QCOMPARE(strict.out.contains("outside the converted windows"), outside);
    }
}

QTEST_GUILESS_MAIN(TestHexDiff)
#include "tst_hexdiff.moc"
