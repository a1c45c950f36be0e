#ifndef KELTO_TESTS_DEBUGCAPTURE_H
#define KELTO_TESTS_DEBUGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace kelto::test {

// Collects every debug message of the process while it exists (from any
// thread), instead of printing it. Only one may exist at a time.
class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    QStringList lines() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

    QStringList captured;
    QtMessageHandler previous = nullptr;
};

} // namespace kelto::test

#endif
