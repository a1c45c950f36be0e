#ifndef KELTO_TESTS_LOGCAPTURE_H
#define KELTO_TESTS_LOGCAPTURE_H

#include <QStringList>

namespace kelto::test {

// Collects every debug line the process writes while it lives (from any
// thread) and restores the previous message handler afterwards. One at a
// time.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    void clear();
    // Lines that start with the given text.
    QStringList linesStartingWith(const QString &prefix) const;
};

} // namespace kelto::test

#endif
