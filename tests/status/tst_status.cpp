// The status word commands of the window against the emulated converter.
#include "darvo_bootloader.h"
#include "emulator.h"
#include "servicewindow.h"

#include <QTest>
#include <QTextBrowser>

using kelto::test::ServiceWindow;
namespace emu = kelto::emu;

namespace {

void invoke(Darvo_bootloader &w, const char *slot)
{
    QVERIFY(QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection, Q_ARG(bool, false)));
}

const QString maskBits = QString(31, '0') + "1";

} // namespace

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void getShowsEveryBit_data();
    void getShowsEveryBit();
    void setAndClearMoveBitZero_data();
    void setAndClearMoveBitZero();
    void failureAppendsErrorLine_data();
    void failureAppendsErrorLine();
    void linesAccumulateAndRecoverAfterFailure();
};

void TestStatus::getShowsEveryBit_data()
{
    QTest::addColumn<uint32_t>("word");
    QTest::addColumn<QString>("line");
    QTest::newRow("both ends") << 0x80000001u << "Status: 1" + QString(30, '0') + "1";
    QTest::newRow("zero") << 0u << "Status: " + QString(32, '0');
    QTest::newRow("all ones") << 0xFFFFFFFFu << "Status: " + QString(32, '1');
    QTest::newRow("bit 16") << 0x00010000u
                            << "Status: " + QString(15, '0') + "1" + QString(16, '0');
}

void TestStatus::getShowsEveryBit()
{
    QFETCH(uint32_t, word);
    QFETCH(QString, line);
    ServiceWindow sw;
    emu::setStatusWord(word);
    sw.window().slotpushButtonStatusGet(false);
    QCOMPARE(sw.txtLines(), QStringList({line}));
    const auto reads = emu::transferLog(9);
    QCOMPARE(reads.size(), std::size_t(1));
    QCOMPARE(reads[0].lengthAsked, 4);
    QCOMPARE(emu::statusWord(), word);
}

void TestStatus::setAndClearMoveBitZero_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("request");
    QTest::addColumn<uint32_t>("before");
    QTest::addColumn<uint32_t>("after");
    QTest::addColumn<QString>("line");
    QTest::newRow("set") << QByteArray("slotpushButtonStatusSet") << 7 << 0x80000000u << 0x80000001u
                         << "StatusSet(" + maskBits + ")";
    QTest::newRow("set, already set") << QByteArray("slotpushButtonStatusSet") << 7 << 0x3u << 0x3u
                                      << "StatusSet(" + maskBits + ")";
    QTest::newRow("clear") << QByteArray("slotpushButtonStatusClr") << 8 << 0xFFFFFFFFu
                           << 0xFFFFFFFEu << "StatusClr(" + maskBits + ")";
    QTest::newRow("clear, already clear") << QByteArray("slotpushButtonStatusClr") << 8 << 0x2u
                                          << 0x2u << "StatusClr(" + maskBits + ")";
}

void TestStatus::setAndClearMoveBitZero()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, request);
    QFETCH(uint32_t, before);
    QFETCH(uint32_t, after);
    QFETCH(QString, line);
    ServiceWindow sw;
    emu::setStatusWord(before);
    invoke(sw.window(), slot.constData());
    // The line shows the mask sent, whatever the word was.
    QCOMPARE(sw.txtLines(), QStringList({line}));
    QCOMPARE(emu::statusWord(), after);
    const auto sends = emu::transferLog(uint8_t(request));
    QCOMPARE(sends.size(), std::size_t(1));
    QCOMPARE(sends[0].direction, emu::Direction::Out);
    QCOMPARE(sends[0].lengthAsked, 4);
}

void TestStatus::failureAppendsErrorLine_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("deviceThere");
    QTest::addColumn<QString>("line");
    const QByteArray get("slotpushButtonStatusGet");
    const QByteArray set("slotpushButtonStatusSet");
    const QByteArray clr("slotpushButtonStatusClr");
    QTest::newRow("get, no device") << get << 9 << false << "Status: ERROR";
    QTest::newRow("set, no device") << set << 7 << false << "StatusSet() ERROR";
    QTest::newRow("clear, no device") << clr << 8 << false << "StatusClr() ERROR";
    QTest::newRow("get, short reply") << get << 9 << true << "Status: ERROR";
    QTest::newRow("set, short send") << set << 7 << true << "StatusSet() ERROR";
    QTest::newRow("clear, short send") << clr << 8 << true << "StatusClr() ERROR";
}

void TestStatus::failureAppendsErrorLine()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, request);
    QFETCH(bool, deviceThere);
    QFETCH(QString, line);
    ServiceWindow sw;
    emu::setStatusWord(0x00F0F0F0u);
    if (deviceThere)
        emu::shortTransfer(1, 3, request);
    else
        emu::removeAllDevices();
    sw.txt()->setPlainText("earlier");
    invoke(sw.window(), slot.constData());
    QCOMPARE(sw.txtLines(), QStringList({"earlier", line}));
    if (deviceThere)
        QCOMPARE(emu::statusWord(), 0x00F0F0F0u);
}

void TestStatus::linesAccumulateAndRecoverAfterFailure()
{
    ServiceWindow sw;
    emu::setStatusWord(0x5u);
    emu::failTransfer(1, 9);
    sw.window().slotpushButtonStatusGet(false);
    // The failed transfer closed the device; the next one reconnects.
    sw.window().slotpushButtonStatusClr(false);
    sw.window().slotpushButtonStatusGet(false);
    sw.window().slotpushButtonStatusSet(false);
    sw.window().slotpushButtonStatusGet(false);
    QCOMPARE(sw.txtLines(),
        QStringList(
            {"Status: ERROR", "StatusClr(" + maskBits + ")", "Status: " + QString(29, '0') + "100",
                "StatusSet(" + maskBits + ")", "Status: " + QString(29, '0') + "101"}));
}

QTEST_MAIN(TestStatus)
#include "tst_status.moc"
