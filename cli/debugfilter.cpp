#include "debugfilter.h"

#include <QString>

#include <atomic>
#include <cstdio>

namespace kelto::cli {

namespace {

std::atomic<bool> passTraceLines {false};

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if ((type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) && !passTraceLines)
        return;
    const QByteArray text = message.toLocal8Bit();
    std::fprintf(stderr, "%s\n", text.constData());
    std::fflush(stderr);
}

} // namespace

DebugFilter::DebugFilter(bool passTrace)
{
    passTraceLines = passTrace;
    previous = qInstallMessageHandler(handler);
}

DebugFilter::~DebugFilter()
{
    qInstallMessageHandler(previous);
}

} // namespace kelto::cli
