#include "modaldriver.h"

#include "choosefile.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <deque>

namespace kelto::test {

struct ModalDriver::State
{
    std::deque<std::function<void(QWidget *)>> steps;
    QStringList seen;
    QStringList offered;
    // Guarded: the static dialog functions build their dialogs on the stack,
    // so the next dialog often has the address of the one just destroyed.
    QPointer<QWidget> last;
    QTimer timer;
};

namespace {

QString describe(QWidget *w)
{
    if (auto *box = qobject_cast<QMessageBox *>(w))
        return QString("QMessageBox|%1|%2").arg(box->windowTitle(), box->text());
    if (auto *in = qobject_cast<QInputDialog *>(w))
        return QString("QInputDialog|%1|%2").arg(in->windowTitle(), in->labelText());
    if (auto *fd = qobject_cast<QFileDialog *>(w))
        return QString("QFileDialog|%1|%2").arg(fd->windowTitle(), fd->nameFilters().join(";;"));
    return QString("%1|%2|").arg(w->metaObject()->className(), w->windowTitle());
}

QString offeredValue(QWidget *w)
{
    auto *in = qobject_cast<QInputDialog *>(w);
    if (!in)
        return {};
    switch (in->inputMode()) {
    case QInputDialog::IntInput:
        return QString::number(in->intValue());
    case QInputDialog::DoubleInput:
        return QString::number(in->doubleValue());
    case QInputDialog::TextInput:
        return in->textValue();
    }
    return {};
}

} // namespace

ModalDriver::ModalDriver()
    : state(std::make_shared<State>())
{
    state->timer.setInterval(5);
    std::weak_ptr<State> weak = state;
    QObject::connect(&state->timer, &QTimer::timeout, [weak] {
        auto s = weak.lock();
        if (!s || s->steps.empty())
            return;
        QWidget *w = QApplication::activeModalWidget();
        // The same dialog may still be closing from the previous step.
        if (!w || w == s->last || !w->isVisible())
            return;
        s->last = w;
        s->seen << describe(w);
        if (qobject_cast<QInputDialog *>(w))
            s->offered << offeredValue(w);
        auto step = std::move(s->steps.front());
        s->steps.pop_front();
        step(w);
    });
    state->timer.start();
}

ModalDriver::~ModalDriver() = default;

ModalDriver &ModalDriver::inputText(const QString &text)
{
    return custom([text](QWidget *w) {
        auto *in = qobject_cast<QInputDialog *>(w);
        if (in)
            in->setTextValue(text);
        static_cast<QDialog *>(w)->accept();
    });
}

ModalDriver &ModalDriver::inputInt(int value)
{
    return custom([value](QWidget *w) {
        auto *in = qobject_cast<QInputDialog *>(w);
        if (in)
            in->setIntValue(value);
        static_cast<QDialog *>(w)->accept();
    });
}

ModalDriver &ModalDriver::inputItem(const QString &item)
{
    return custom([item](QWidget *w) {
        auto *in = qobject_cast<QInputDialog *>(w);
        if (in)
            in->setTextValue(item);
        static_cast<QDialog *>(w)->accept();
    });
}

ModalDriver &ModalDriver::file(const QString &path)
{
    return custom([path](QWidget *w) {
        if (auto *fd = qobject_cast<QFileDialog *>(w))
            chooseFile(fd, path);
        else
            static_cast<QDialog *>(w)->accept();
    });
}

ModalDriver &ModalDriver::ok()
{
    return custom([](QWidget *w) {
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            if (QAbstractButton *b = box->button(QMessageBox::Ok)) {
                b->click();
                return;
            }
        }
        static_cast<QDialog *>(w)->accept();
    });
}

ModalDriver &ModalDriver::cancel()
{
    return custom([](QWidget *w) { static_cast<QDialog *>(w)->reject(); });
}

ModalDriver &ModalDriver::custom(std::function<void(QWidget *)> action)
{
    state->steps.push_back(std::move(action));
    return *this;
}

bool ModalDriver::finished() const
{
    return state->steps.empty();
}

QStringList ModalDriver::seen() const
{
    return state->seen;
}

QStringList ModalDriver::offered() const
{
    return state->offered;
}

} // namespace kelto::test
