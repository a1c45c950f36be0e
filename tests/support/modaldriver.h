#ifndef KELTO_TESTS_MODALDRIVER_H
#define KELTO_TESTS_MODALDRIVER_H

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QWidget;

namespace kelto::test {

// Answers the modal dialogs a slot opens, in the order they open. Each step
// waits (in the event loop the dialog runs) for the next modal widget and
// acts on it. Every dialog seen is recorded as "Class|title|label or text"
// so tests can compare the whole conversation.
//
//   ModalDriver d;
//   d.inputText("0x20000000").inputInt(4096);
//   window.slotpushButtonRead(false);
//   QVERIFY(d.finished());
class ModalDriver
{
public:
    ModalDriver();
    ~ModalDriver();
    ModalDriver(const ModalDriver &) = delete;
    ModalDriver &operator=(const ModalDriver &) = delete;

    // QInputDialog::getText: set the text and accept.
    ModalDriver &inputText(const QString &text);
    // QInputDialog::getInt: set the value and accept.
    ModalDriver &inputInt(int value);
    // QInputDialog::getItem: choose the item and accept.
    ModalDriver &inputItem(const QString &item);
    // QFileDialog: select the path and accept.
    ModalDriver &file(const QString &path);
    // QMessageBox: press its Ok button.
    ModalDriver &ok();
    // Any dialog: reject (Cancel / Escape).
    ModalDriver &cancel();
    // Any dialog: run custom code on it (it must close the dialog itself).
    ModalDriver &custom(std::function<void(QWidget *)> action);

    // All steps done.
    bool finished() const;
    // The dialogs seen, in order, e.g. "QMessageBox|Error|HexToBin error: -2)".
    QStringList seen() const;
    // What each QInputDialog offered, e.g. "0x8000000" or "256".
    QStringList offered() const;

private:
    struct State;
    std::shared_ptr<State> state;
};

} // namespace kelto::test

#endif
