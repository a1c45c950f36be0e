#include "debugfilter.h"

#include <QString>

#include <cstdio>

namespace kelto::cli {

namespace {

std::atomic<bool> passTraceLines {false};
std::atomic<int> readErrors {0};

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        // Stream lines end in a blank; compare the words only.
        if (message.trimmed() == QLatin1String("page read ERROR"))
            ++readErrors;
        if (!passTraceLines)
            return;
    }
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

int DebugFilter::pageReadErrors()
{
    return readErrors;
}

void DebugFilter::resetCounters()
{
    readErrors = 0;
}

} // namespace kelto::cli
