#include "debugcapture.h"

#include <mutex>

namespace kelto::test {

namespace {
// One lock for the handler and the capture's life, so that a line logged by
// another thread never meets a capture that is being destroyed.
std::mutex captureMutex;
DebugCapture *current = nullptr;
} // namespace

DebugCapture::DebugCapture()
{
    {
        std::lock_guard<std::mutex> lock(captureMutex);
        current = this;
    }
    previous = qInstallMessageHandler(&DebugCapture::handler);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
    std::lock_guard<std::mutex> lock(captureMutex);
    current = nullptr;
}

QStringList DebugCapture::lines() const
{
    std::lock_guard<std::mutex> lock(captureMutex);
    return captured;
}

void DebugCapture::clear()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.clear();
}

void DebugCapture::handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    // Warnings of the toolkit itself (e.g. of the offscreen platform) are
    // not the program's trace; keep only debug lines.
    if (type != QtDebugMsg)
        return;
    std::lock_guard<std::mutex> lock(captureMutex);
    if (current)
        current->captured << msg;
}

} // namespace kelto::test
