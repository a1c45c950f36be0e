#include "logcapture.h"

#include <mutex>

namespace {

std::mutex captureMutex;
QStringList captured;
QtMessageHandler previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        return;
    std::lock_guard<std::mutex> lock(captureMutex);
    captured << message;
}

} // namespace

namespace kelto::test {

LogCapture::LogCapture()
{
    clear();
    previous = qInstallMessageHandler(handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(captureMutex);
    return captured;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.clear();
}

QStringList LogCapture::linesStartingWith(const QString &prefix) const
{
    QStringList out;
    for (const QString &l : lines())
        if (l.startsWith(prefix))
            out << l;
    return out;
}

} // namespace kelto::test
