// Converts generated HEX files over random windows and compares the result
// with what independent tools make of the same files.
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

QTEST_GUILESS_MAIN(TestHexDiff)
#include "tst_hexdiff.moc"
