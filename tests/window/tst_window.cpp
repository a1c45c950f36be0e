#include "darvo_bootloader.h"
#include "ui_darvo_bootloader.h"

#include <QMenu>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void onlyFirmwareChangeIsVisible();
    void tabsAndTexts();
    void fileMenuHoldsOnlyClose();
    void progressBarFormats_data();
    void progressBarFormats();
    void balastSpinBox();
    void setupUiKeepsExistingName();
    void slotTableOrder();
};

void TestWindow::onlyFirmwareChangeIsVisible()
{
    Darvo_bootloader w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const auto buttons = w.findChildren<QPushButton *>(QRegularExpression("^pushButton"));
    QCOMPARE(buttons.size(), 16);
    for (QPushButton *b : buttons)
        QCOMPARE(b->isVisible(), b->objectName() == "pushButtonCHF");
    auto *chf = w.findChild<QPushButton *>("pushButtonCHF");
    QCOMPARE(chf->text(), QString("Firmware Change"));
    auto *upg = w.findChild<QPushButton *>("pushButtonCreateUpg");
    QVERIFY(!upg->isEnabled());
    // The other hidden buttons stay enabled: their slots remain callable.
    QVERIFY(w.findChild<QPushButton *>("pushButtonRead")->isEnabled());
}

void TestWindow::tabsAndTexts()
{
    Darvo_bootloader w;
    QCOMPARE(w.windowTitle(), QString("KELTO")); // until main sets the final title
    auto *tabs = w.findChild<QTabWidget *>("tabWidget");
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->tabText(0), QString("Settings"));
    QCOMPARE(tabs->tabText(1), QString("Page"));
    QCOMPARE(tabs->widget(0)->objectName(), QString("tabSettings"));
    QCOMPARE(tabs->widget(1)->objectName(), QString("tabVr"));
    QCOMPARE(w.size(), QSize(675, 616));
}

void TestWindow::fileMenuHoldsOnlyClose()
{
    Darvo_bootloader w;
    auto *menu = w.findChild<QMenu *>("menuFile");
    QCOMPARE(menu->title(), QString("File"));
    QCOMPARE(menu->actions().size(), 1);
    QCOMPARE(menu->actions().first()->text(), QString("Close"));
    QCOMPARE(menu->actions().first()->objectName(), QString("actionClose"));
    QVERIFY(w.findChild<QToolBar *>("mainToolBar")->actions().isEmpty());
    QVERIFY(w.findChild<QStatusBar *>("statusBar")->currentMessage().isEmpty());
    // The other actions exist but are reachable from no menu or tool bar.
    for (const char *name : {"actionOpen", "actionDarvo_info", "actionPolish", "actionEnglish"}) {
        auto *a = w.findChild<QAction *>(name);
        QVERIFY2(a, name);
        QVERIFY(a->associatedObjects().isEmpty());
        QVERIFY(a->shortcut().isEmpty());
    }
}

void TestWindow::progressBarFormats_data()
{
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("text");
    QTest::newRow("flash") << "progressBarFlash"
                           << "Flash 37%";
    QTest::newRow("write") << "progressBarExtFlashWr"
                           << "External flash write 37%";
    QTest::newRow("verify") << "progressBarExtFlashRd"
                            << "External flash verify 37%";
}

void TestWindow::progressBarFormats()
{
    QFETCH(QString, bar);
    QFETCH(QString, text);
    Darvo_bootloader w;
    auto *p = w.findChild<QProgressBar *>(bar);
    QCOMPARE(p->value(), 0);
    QCOMPARE(p->maximumHeight(), 15);
    p->setValue(37);
    QCOMPARE(p->text(), text);
}

void TestWindow::balastSpinBox()
{
    Darvo_bootloader w;
    auto *s = w.findChild<QSpinBox *>("spinBoxBalastNumber");
    QCOMPARE(s->prefix(), QString("Balast number "));
    QCOMPARE(s->minimum(), 1);
    QCOMPARE(s->maximum(), 64);
    QCOMPARE(s->text(), QString("Balast number 1"));
    s->setValue(65);
    QCOMPARE(s->value(), 64);
}

void TestWindow::setupUiKeepsExistingName()
{
    QMainWindow named;
    named.setObjectName("mine");
    Ui_Darvo_bootloaderClass form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QString("mine"));

    QMainWindow unnamed;
    Ui_Darvo_bootloaderClass form2;
    form2.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QString("Darvo_bootloaderClass"));
    QCOMPARE(form2.txt->font().family(), QString("Courier New"));
}

void TestWindow::slotTableOrder()
{
    const QStringList expected = {
        "slotpushButtonConnect(bool)",
        "slotpushButtonDisconnect(bool)",
        "slotpushButtonRead(bool)",
        "slotpushButtonWrite(bool)",
        "slotpushButtonWritePage(bool)",
        "slotpushButtonWriteExtFlashBin(bool)",
        "slotpushButtonRunApplication(bool)",
        "slotpushButtonWriteExternalFlash(bool)",
        "slotpushButtonReadExternalFlash(bool)",
        "slotpushButtonCreateUpg(bool)",
        "slotpushButtonCreateBootBin(bool)",
        "slotpushButtonStatusGet(bool)",
        "slotpushButtonStatusSet(bool)",
        "slotpushButtonStatusClr(bool)",
        "slotTimeout()",
        "slotpushButtonCHF(bool)",
        "slotShowInfo(bool)",
        "slotTabChange(int)",
        "slotPolish(bool)",
        "slotEnglish(bool)",
        "slotpushButtonGetVrb(bool)",
        "slotpushButtonGetVrBalasts(bool)",
        "slotVrBalastRefresh()",
        "slotTabChanged(int)",
    };
    const QMetaObject &mo = Darvo_bootloader::staticMetaObject;
    QStringList actual;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Public);
        actual << QString::fromLatin1(m.methodSignature());
    }
    QCOMPARE(actual, expected);
    QCOMPARE(mo.propertyCount(), mo.propertyOffset());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
