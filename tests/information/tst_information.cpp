// The information dialog: opened from the window's hidden action, its form
// and its rich text.
#include "darvo_bootloader.h"
#include "information.h"
#include "modaldriver.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

using kelto::test::ModalDriver;

class TestInformation : public QObject
{
    Q_OBJECT

private slots:
    void opensModalOverWindow_data();
    void opensModalOverWindow();
    void form();
    void richText();
    void logoIsInTheResources();
    void labelTextSelectableByMouse();
};

void TestInformation::opensModalOverWindow_data()
{
    QTest::addColumn<QString>("closeBy");
    QTest::newRow("Ok") << "ok";
    QTest::newRow("close button") << "close";
    QTest::newRow("Escape") << "escape";
}

void TestInformation::opensModalOverWindow()
{
    QFETCH(QString, closeBy);
    Darvo_bootloader w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *action = w.findChild<QAction *>("actionDarvo_info");
    QVERIFY(action);

    QString title;
    bool modal = false;
    QWidget *parent = nullptr;
    bool visibleWhileOpen = false;
    ModalDriver driver;
    driver.custom([&](QWidget *dlg) {
        title = dlg->windowTitle();
        modal = dlg->isModal();
        parent = dlg->parentWidget();
        visibleWhileOpen = dlg->isVisible();
        if (closeBy == "ok") {
            auto *box = dlg->findChild<QDialogButtonBox *>("buttonBox");
            box->button(QDialogButtonBox::Ok)->click();
        } else if (closeBy == "close") {
            dlg->close();
        } else {
            QTest::keyClick(dlg, Qt::Key_Escape);
        }
    });
    action->trigger(); // returns once the dialog is closed
    QVERIFY(driver.finished());
    QCOMPARE(title, QString("Darvo Information"));
    QVERIFY(modal);
    QVERIFY(visibleWhileOpen);
    QCOMPARE(parent, &w);
    // Built on the slot's stack: nothing of it is left behind.
    QVERIFY(w.findChildren<QDialog *>().isEmpty());
    QVERIFY(!QApplication::activeModalWidget());
}

void TestInformation::form()
{
    Information info;
    QCOMPARE(info.objectName(), QString("DialogInfo"));
    QCOMPARE(info.size(), QSize(258, 253));
    QCOMPARE(info.windowTitle(), QString("Darvo Information"));
    QCOMPARE(info.verticalLayout->count(), 3);
    QCOMPARE(info.verticalLayout->itemAt(0)->widget(), info.label);
    QCOMPARE(info.verticalLayout->itemAt(1)->widget(), info.labelVersion);
    QCOMPARE(info.verticalLayout->itemAt(2)->widget(), info.buttonBox);
    QCOMPARE(info.label->textFormat(), Qt::RichText);
    QVERIFY(info.label->hasScaledContents());
    QCOMPARE(info.label->alignment(), Qt::AlignCenter);
    QVERIFY(info.labelVersion->text().isEmpty());
    QCOMPARE(info.labelVersion->alignment(), Qt::AlignCenter);
    QCOMPARE(info.buttonBox->standardButtons(), QDialogButtonBox::Ok);
    QVERIFY(info.buttonBox->centerButtons());
    QCOMPARE(info.buttonBox->orientation(), Qt::Horizontal);

    // A name given before the form is built is kept.
    QDialog named;
    named.setObjectName("about");
    Ui::DialogInfo form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QString("about"));
}

void TestInformation::richText()
{
    Information info;
    QTextDocument doc;
    doc.setHtml(info.label->text());
    // Product line, logo, web address, gap, company, three address lines,
    // gap, telephone, fax, gap, e-mail.
    const QList<bool> textual
        = {true, false, true, false, true, true, true, true, false, true, true, false, true};
    QCOMPARE(doc.blockCount(), int(textual.size()));
    int i = 0;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next(), ++i) {
        QVERIFY2(b.blockFormat().alignment() & Qt::AlignHCenter, qPrintable(QString::number(i)));
        QCOMPARE(b.blockFormat().topMargin(), 0.0);
        QCOMPARE(b.blockFormat().bottomMargin(), 0.0);
        if (i == 1) {
            QVERIFY(b.begin().fragment().charFormat().isImageFormat());
            continue;
        }
        QCOMPARE(!b.text().trimmed().isEmpty(), textual[i]);
        for (auto it = b.begin(); !it.atEnd(); ++it)
            QCOMPARE(it.fragment().charFormat().fontPointSize(), 8.0);
    }
    QCOMPARE(doc.begin().text(), QString("Kelto converter configuration software"));
    // The body font: the dialog font at 8.25 points, normal weight.
    const QString html = info.label->text();
    QVERIFY(html.contains("font-family:'MS Shell Dlg 2'"));
    QVERIFY(html.contains("font-size:8.25pt"));
    QVERIFY(html.contains("font-weight:400"));
}

void TestInformation::logoIsInTheResources()
{
    Information info;
    QTextDocument doc;
    doc.setHtml(info.label->text());
    const QTextImageFormat image
        = doc.begin().next().begin().fragment().charFormat().toImageFormat();
    QVERIFY(image.isValid());
    QVERIFY(image.name().startsWith(":/res/images/"));
    const QImage logo(image.name());
    QVERIFY2(!logo.isNull(), qPrintable(image.name()));
    // It must fit the dialog's width next to the layout margins.
    QVERIFY(logo.width() < 258 - 20);
}

void TestInformation::labelTextSelectableByMouse()
{
    Information info;
    QVERIFY(info.label->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(info.label->textInteractionFlags() & Qt::LinksAccessibleByMouse);
    QVERIFY(!(info.label->textInteractionFlags() & Qt::TextEditable));
    info.show();
    QVERIFY(QTest::qWaitForWindowExposed(&info));

    // Drag across the whole label, as an operator copying the address would.
    QLabel *label = info.label;
    QVERIFY(!label->hasSelectedText());
    QTest::mousePress(label, Qt::LeftButton, {}, QPoint(1, 1));
    QTest::mouseMove(label, QPoint(label->width() / 2, label->height() / 2));
    QTest::mouseMove(label, QPoint(label->width() - 2, label->height() - 2));
    QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(label->width() - 2, label->height() - 2));
    QVERIFY(label->hasSelectedText());
    QVERIFY(label->selectedText().contains("Kelto converter configuration software"));
}

QTEST_MAIN(TestInformation)
#include "tst_information.moc"
